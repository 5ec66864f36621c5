// Windows path texts, joined and normalised lexically without touching the
// file system. Shared by the module list and the installer.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace quillon {

// Forward slashes become backslashes, runs of separators one (the leading
// double backslash of a UNC path aside), "." elements go, ".." removes the
// element before it (dropped at the root), a trailing separator is dropped
// except at a drive root. Letter case is kept.
std::string normalizePath(std::string_view path);

// Joins a base and a relative path with one backslash, none when the base
// already ends in a separator or a colon; then normalises.
std::string joinPath(std::string_view base, std::string_view relative);

// Joins elements with backslashes, skipping empty ones; then normalises.
std::string joinPathElements(std::initializer_list<std::string_view> elements);

}  // namespace quillon
