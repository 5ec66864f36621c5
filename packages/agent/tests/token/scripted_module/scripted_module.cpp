// A PKCS#11 module for tests only. It implements just the calls the agent
// makes (C_GetFunctionList, C_Initialize, C_Finalize, C_GetSlotList,
// C_OpenSession, C_CloseSession, C_Login, C_Logout, C_FindObjectsInit,
// C_FindObjects, C_FindObjectsFinal, C_GetAttributeValue, C_SignInit,
// C_Sign); every other entry of its function list is empty.
//
// Where it reads its script and writes its journal:
//   configuration  "<library file>.json" next to the loaded copy when that
//                  exists, else the file named by QUILLON_TEST_MODULE_CONFIG
//                  (none: no slots)
//   journal        the file named by QUILLON_TEST_MODULE_JOURNAL, else
//                  "<library file>.journal"; one line appended per call
// Both are settled once, at the first C_GetFunctionList of a loaded copy; a
// test that wants a fresh module copies the library to a fresh path, which
// also lets several differently scripted modules live in one process.
//
// Configuration (every key optional):
// {
//   "slots": [{
//     "id": 7,               slot identifier (default: position + 1)
//     "tokenPresent": true,  slots without a token are not in the token list
//     "pin": "1234",         C_Login(CKU_USER) demands this PIN when set
//     "readOnly": false,     refuse CKF_RW_SESSION with CKR_TOKEN_WRITE_PROTECTED
//     "objects": [{
//       "class": "certificate" | "privateKey" | "publicKey" | "data" | <number>,
//       "certificateType": 0,       certificates: CKA_CERTIFICATE_TYPE (default X.509)
//       "valueFile": "c.der",        CKA_VALUE from a file ...
//       "valueHex": "3082...",       ... or inline
//       "id": "01",                  CKA_ID in hex; absent means no CKA_ID at all
//       "label": "text",             CKA_LABEL
//       "private": false,            visible only while the user is logged in
//       "keyFile": "k.pem",          private keys: PEM key that C_Sign uses; sets CKA_KEY_TYPE
//       "keyType": 0,                CKA_KEY_TYPE override
//       "sensitive": ["CKA_VALUE"],  reads answer CKR_ATTRIBUTE_SENSITIVE
//       "unavailable": ["CKA_ID"]    reads answer CKR_ATTRIBUTE_TYPE_INVALID
//     }]
//   }],
//   "batchSize": 5,            at most this many handles per C_FindObjects
//   "endlessSearch": "repeat" | "fresh",  C_FindObjects never returns an empty
//                              batch: it starts over with the same handles, or
//                              hands out new handles that name no object
//   "failures": [{"call": "C_FindObjects", "nth": 2, "rv": "CKR_DEVICE_ERROR"}]
//                              the nth call of that name (counted from 1 since
//                              the module was loaded; 0 or absent: every call)
//                              returns rv (a CKR_ name or a number) at once
//   "signature": {"length": 0, "garbage": false}
//                              a faulty token: C_Sign still answers CKR_OK, but
//                              with `length` bytes (the length query says so
//                              too): the real signature as far as it goes, then
//                              pseudo-random bytes; with "garbage" every byte is
//                              pseudo-random
//   "lengthQuery": {"answer": 0, "insist": false}
//                              a careless module: the length query answers
//                              `answer`, and the real call writes the whole
//                              signature into the buffer it is handed, whatever
//                              length it is told; with "insist" the real call
//                              answers CKR_BUFFER_TOO_SMALL (the operation
//                              staying active) unless told at least `answer`
//   "chatty": false            a module that talks on the process's standard
//                              streams, as vendor modules with a debug switch
//                              do: C_Initialize and C_GetSlotList each print a
//                              line through the C runtime and one through the
//                              raw handle or descriptor, then read what
//                              standard input holds
//   "lingeringChild": "<path>" C_Initialize starts a program that inherits
//                              every inheritable handle or descriptor (on
//                              Windows also handed the standard handles; on
//                              Linux it lets go of standard error), waits
//                              about 15 s and only then creates the file
// }
// C_Initialize answers CKR_CRYPTOKI_ALREADY_INITIALIZED while initialised, as
// the standard says; C_SignInit without a mechanism ends an active signing
// operation (the cancel of PKCS#11 3.0); C_Sign makes CKM_RSA_PKCS signatures over the given
// bytes (a DigestInfo) with the key file.
//
// Journal lines: the call's name, its main arguments as key=value, and
// "rv=0x<hex>" last, e.g.
//   C_OpenSession slot=1 flags=0x6 session=3 rv=0x0
//   C_FindObjects session=3 max=16 count=2 handles=1,2 rv=0x0
//   C_Sign session=3 dataLen=51 buffer=1 given=256 sigLen=256 rv=0x0
// The PIN itself is never written, only its length.
#include <pkcs11.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#undef CreateMutex  // the Win32 macro would rename the Cryptoki field
#define SCRIPTED_EXPORT __declspec(dllexport)
#else
#include <dlfcn.h>
#include <unistd.h>
#define SCRIPTED_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using Bytes = std::vector<unsigned char>;

struct Object {
    CK_OBJECT_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    bool isPrivate = false;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    std::set<CK_ATTRIBUTE_TYPE> sensitive;
    std::set<CK_ATTRIBUTE_TYPE> unavailable;
    std::shared_ptr<EVP_PKEY> key;
};

struct Slot {
    CK_SLOT_ID id = 0;
    bool tokenPresent = true;
    std::optional<std::string> pin;
    bool readOnly = false;
    bool loggedIn = false;
};

struct Failure {
    std::string call;
    unsigned long nth = 0;
    CK_RV rv = CKR_GENERAL_ERROR;
};

struct ForgedSignature {
    CK_ULONG length = 0;
    bool garbage = false;
};

struct CarelessLengthQuery {
    CK_ULONG answer = 0;
    bool insist = false;
};

struct Session {
    CK_SLOT_ID slot = 0;
    bool searching = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t next = 0;
    CK_OBJECT_HANDLE nextFresh = 0x70000000;
    const Object* signKey = nullptr;
};

struct Module {
    bool configured = false;
    bool initialized = false;
    std::vector<Slot> slots;
    std::vector<Object> objects;
    std::vector<Failure> failures;
    CK_ULONG batchSize = 0;
    std::string endlessSearch;
    std::optional<ForgedSignature> forged;
    std::optional<CarelessLengthQuery> lengthQuery;
    bool chatty = false;
    std::string lingeringChild;
    std::map<std::string, unsigned long> callCounts;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    FILE* journal = nullptr;
};

Module& module() {
    static Module m;
    return m;
}

std::string envText(const char* name) {
#ifdef _WIN32
    // The test process sets variables through the Win32 environment block,
    // which a C runtime's own copy may not see.
    char buf[4096];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
#else
    const char* v = std::getenv(name);
    return v ? v : "";
#endif
}

struct NamedValue {
    const char* name;
    unsigned long value;
};

constexpr NamedValue kRvNames[] = {
    {"CKR_OK", CKR_OK},
    {"CKR_HOST_MEMORY", CKR_HOST_MEMORY},
    {"CKR_SLOT_ID_INVALID", CKR_SLOT_ID_INVALID},
    {"CKR_GENERAL_ERROR", CKR_GENERAL_ERROR},
    {"CKR_FUNCTION_FAILED", CKR_FUNCTION_FAILED},
    {"CKR_ARGUMENTS_BAD", CKR_ARGUMENTS_BAD},
    {"CKR_ATTRIBUTE_SENSITIVE", CKR_ATTRIBUTE_SENSITIVE},
    {"CKR_ATTRIBUTE_TYPE_INVALID", CKR_ATTRIBUTE_TYPE_INVALID},
    {"CKR_DEVICE_ERROR", CKR_DEVICE_ERROR},
    {"CKR_DEVICE_MEMORY", CKR_DEVICE_MEMORY},
    {"CKR_DEVICE_REMOVED", CKR_DEVICE_REMOVED},
    {"CKR_FUNCTION_NOT_SUPPORTED", CKR_FUNCTION_NOT_SUPPORTED},
    {"CKR_KEY_HANDLE_INVALID", CKR_KEY_HANDLE_INVALID},
    {"CKR_KEY_TYPE_INCONSISTENT", CKR_KEY_TYPE_INCONSISTENT},
    {"CKR_MECHANISM_INVALID", CKR_MECHANISM_INVALID},
    {"CKR_OBJECT_HANDLE_INVALID", CKR_OBJECT_HANDLE_INVALID},
    {"CKR_OPERATION_ACTIVE", CKR_OPERATION_ACTIVE},
    {"CKR_OPERATION_NOT_INITIALIZED", CKR_OPERATION_NOT_INITIALIZED},
    {"CKR_PIN_INCORRECT", CKR_PIN_INCORRECT},
    {"CKR_PIN_LOCKED", CKR_PIN_LOCKED},
    {"CKR_SESSION_CLOSED", CKR_SESSION_CLOSED},
    {"CKR_SESSION_COUNT", CKR_SESSION_COUNT},
    {"CKR_SESSION_HANDLE_INVALID", CKR_SESSION_HANDLE_INVALID},
    {"CKR_SESSION_READ_ONLY", CKR_SESSION_READ_ONLY},
    {"CKR_TOKEN_NOT_PRESENT", CKR_TOKEN_NOT_PRESENT},
    {"CKR_TOKEN_NOT_RECOGNIZED", CKR_TOKEN_NOT_RECOGNIZED},
    {"CKR_TOKEN_WRITE_PROTECTED", CKR_TOKEN_WRITE_PROTECTED},
    {"CKR_USER_ALREADY_LOGGED_IN", CKR_USER_ALREADY_LOGGED_IN},
    {"CKR_USER_NOT_LOGGED_IN", CKR_USER_NOT_LOGGED_IN},
    {"CKR_USER_TYPE_INVALID", CKR_USER_TYPE_INVALID},
    {"CKR_BUFFER_TOO_SMALL", CKR_BUFFER_TOO_SMALL},
    {"CKR_CRYPTOKI_NOT_INITIALIZED", CKR_CRYPTOKI_NOT_INITIALIZED},
    {"CKR_CRYPTOKI_ALREADY_INITIALIZED", CKR_CRYPTOKI_ALREADY_INITIALIZED},
    {"CKR_VENDOR_DEFINED", CKR_VENDOR_DEFINED},
};

constexpr NamedValue kAttributeNames[] = {
    {"CKA_CLASS", CKA_CLASS}, {"CKA_TOKEN", CKA_TOKEN},   {"CKA_PRIVATE", CKA_PRIVATE},
    {"CKA_LABEL", CKA_LABEL}, {"CKA_VALUE", CKA_VALUE},   {"CKA_CERTIFICATE_TYPE", CKA_CERTIFICATE_TYPE},
    {"CKA_ID", CKA_ID},       {"CKA_KEY_TYPE", CKA_KEY_TYPE}, {"CKA_SIGN", CKA_SIGN},
    {"CKA_MODULUS", CKA_MODULUS},
};

unsigned long numberOrName(const nlohmann::json& v, const NamedValue* table, std::size_t n) {
    if (v.is_number()) return v.get<unsigned long>();
    std::string text = v.get<std::string>();
    for (std::size_t i = 0; i < n; ++i)
        if (text == table[i].name) return table[i].value;
    return std::strtoul(text.c_str(), nullptr, 0);
}

std::string attributeName(CK_ATTRIBUTE_TYPE type) {
    for (const auto& a : kAttributeNames)
        if (a.value == type) return a.name;
    std::ostringstream s;
    s << "0x" << std::hex << std::uppercase << type;
    return s.str();
}

Bytes ulongBytes(CK_ULONG v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string toHex(const unsigned char* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::shared_ptr<EVP_PKEY> pemKey(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return key ? std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free) : nullptr;
}

CK_OBJECT_CLASS classOf(const nlohmann::json& v) {
    if (v.is_number()) return v.get<CK_OBJECT_CLASS>();
    std::string c = v.get<std::string>();
    if (c == "certificate") return CKO_CERTIFICATE;
    if (c == "privateKey") return CKO_PRIVATE_KEY;
    if (c == "publicKey") return CKO_PUBLIC_KEY;
    return CKO_DATA;
}

std::set<CK_ATTRIBUTE_TYPE> attributeSet(const nlohmann::json& list) {
    std::set<CK_ATTRIBUTE_TYPE> s;
    for (const auto& a : list) s.insert(numberOrName(a, kAttributeNames, std::size(kAttributeNames)));
    return s;
}

// The file this copy of the module was loaded from.
std::string ownPath() {
#ifdef _WIN32
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&module), &self))
        return {};
    char buf[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(self, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
#else
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&module), &info) || !info.dli_fname) return {};
    return info.dli_fname;
#endif
}

bool fileExists(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in.good();
}

void configure() {
    Module& m = module();
    if (m.configured) return;
    m.configured = true;
    const std::string self = ownPath();
    std::string journal = envText("QUILLON_TEST_MODULE_JOURNAL");
    if (journal.empty() && !self.empty()) journal = self + ".journal";
    if (!journal.empty()) m.journal = std::fopen(journal.c_str(), "ab");
    std::string configPath = self + ".json";
    if (self.empty() || !fileExists(configPath)) configPath = envText("QUILLON_TEST_MODULE_CONFIG");
    if (configPath.empty()) return;
    std::ifstream in(configPath, std::ios::binary);
    nlohmann::json config = nlohmann::json::parse(in, nullptr, false);
    if (!config.is_object()) return;

    m.batchSize = config.value("batchSize", 0UL);
    m.endlessSearch = config.value("endlessSearch", std::string());
    if (config.contains("signature")) {
        const auto& f = config["signature"];
        m.forged = ForgedSignature{f.value("length", 0UL), f.value("garbage", false)};
    }
    if (config.contains("lengthQuery")) {
        const auto& q = config["lengthQuery"];
        m.lengthQuery = CarelessLengthQuery{q.value("answer", 0UL), q.value("insist", false)};
    }
    m.chatty = config.value("chatty", false);
    m.lingeringChild = config.value("lingeringChild", std::string());
    for (const auto& f : config.value("failures", nlohmann::json::array()))
        m.failures.push_back(Failure{f.value("call", std::string()), f.value("nth", 0UL),
                                     f.contains("rv") ? numberOrName(f["rv"], kRvNames, std::size(kRvNames))
                                                      : CKR_GENERAL_ERROR});
    CK_OBJECT_HANDLE nextHandle = 1;
    std::size_t position = 0;
    for (const auto& s : config.value("slots", nlohmann::json::array())) {
        Slot slot;
        slot.id = s.value("id", static_cast<unsigned long>(++position));
        slot.tokenPresent = s.value("tokenPresent", true);
        if (s.contains("pin")) slot.pin = s["pin"].get<std::string>();
        slot.readOnly = s.value("readOnly", false);
        m.slots.push_back(slot);
        for (const auto& o : s.value("objects", nlohmann::json::array())) {
            Object obj;
            obj.handle = nextHandle++;
            obj.slot = slot.id;
            obj.isPrivate = o.value("private", false);
            CK_OBJECT_CLASS cls = classOf(o.value("class", nlohmann::json("data")));
            obj.attributes[CKA_CLASS] = ulongBytes(cls);
            obj.attributes[CKA_TOKEN] = Bytes{CK_TRUE};
            obj.attributes[CKA_PRIVATE] = Bytes{static_cast<unsigned char>(obj.isPrivate ? CK_TRUE : CK_FALSE)};
            if (cls == CKO_CERTIFICATE)
                obj.attributes[CKA_CERTIFICATE_TYPE] = ulongBytes(o.value("certificateType", 0UL));
            if (o.contains("valueFile")) obj.attributes[CKA_VALUE] = fileBytes(o["valueFile"].get<std::string>());
            if (o.contains("valueHex")) obj.attributes[CKA_VALUE] = fromHex(o["valueHex"].get<std::string>());
            if (o.contains("id")) obj.attributes[CKA_ID] = fromHex(o["id"].get<std::string>());
            if (o.contains("label")) {
                std::string l = o["label"].get<std::string>();
                obj.attributes[CKA_LABEL] = Bytes(l.begin(), l.end());
            }
            if (o.contains("keyFile")) {
                obj.key = pemKey(o["keyFile"].get<std::string>());
                if (obj.key)
                    obj.attributes[CKA_KEY_TYPE] =
                        ulongBytes(EVP_PKEY_get_base_id(obj.key.get()) == EVP_PKEY_RSA ? CKK_RSA : CKK_EC);
                obj.attributes[CKA_SIGN] = Bytes{CK_TRUE};
            }
            if (o.contains("keyType")) obj.attributes[CKA_KEY_TYPE] = ulongBytes(o["keyType"].get<CK_ULONG>());
            obj.sensitive = attributeSet(o.value("sensitive", nlohmann::json::array()));
            obj.unavailable = attributeSet(o.value("unavailable", nlohmann::json::array()));
            m.objects.push_back(std::move(obj));
        }
    }
}

// Counts the call and answers the configured fault, if any.
std::optional<CK_RV> scriptedFailure(const std::string& call) {
    Module& m = module();
    unsigned long n = ++m.callCounts[call];
    for (const auto& f : m.failures)
        if (f.call == call && (f.nth == 0 || f.nth == n)) return f.rv;
    return std::nullopt;
}

CK_RV journal(const std::string& line, CK_RV rv) {
    Module& m = module();
    if (m.journal) {
        std::fprintf(m.journal, "%s rv=0x%lX\n", line.c_str(), static_cast<unsigned long>(rv));
        std::fflush(m.journal);
    }
    return rv;
}

Slot* slotById(CK_SLOT_ID id) {
    for (auto& s : module().slots)
        if (s.id == id) return &s;
    return nullptr;
}

Session* sessionOf(CK_SESSION_HANDLE h) {
    auto& sessions = module().sessions;
    auto it = sessions.find(h);
    return it == sessions.end() ? nullptr : &it->second;
}

const Object* visibleObject(const Session& session, CK_OBJECT_HANDLE h) {
    for (const auto& o : module().objects)
        if (o.handle == h && o.slot == session.slot) {
            if (o.isPrivate && !slotById(session.slot)->loggedIn) return nullptr;
            return &o;
        }
    return nullptr;
}

#define SCRIPTED_PREAMBLE(name, line)                                    \
    if (auto failure = scriptedFailure(name)) return journal(line, *failure); \
    if (!module().initialized) return journal(line, CKR_CRYPTOKI_NOT_INITIALIZED)

// Names the session `s`, or answers CKR_SESSION_HANDLE_INVALID.
#define SCRIPTED_SESSION(line)  \
    Session* s = sessionOf(h); \
    if (!s) return journal(line, CKR_SESSION_HANDLE_INVALID)

// What a chatty module says and takes on the standard streams.
void chatter(const char* call) {
    if (!module().chatty) return;
    std::printf("scripted module: %s through the C runtime\n", call);
    std::fflush(stdout);
    const std::string raw = std::string("scripted module: ") + call + " through the raw stream\n";
    char taken[64];
#ifdef _WIN32
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), raw.data(), static_cast<DWORD>(raw.size()), &done, nullptr);
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), taken, sizeof taken, &done, nullptr);
#else
    [[maybe_unused]] const ssize_t wrote = ::write(STDOUT_FILENO, raw.data(), raw.size());
    [[maybe_unused]] const ssize_t got = ::read(STDIN_FILENO, taken, sizeof taken);
#endif
}

// A helper program of a module that outlives the call that started it, and
// holds whatever the process let it inherit.
void startLingeringChild() {
    const std::string& marker = module().lingeringChild;
    if (marker.empty()) return;
#ifdef _WIN32
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system) return;
    std::string line = std::string("\"") + system + "\\cmd.exe\" /d /s /c \"\"" + system +
                       "\\ping.exe\" 127.0.0.1 -n 16 >nul & echo ended>\"" + marker + "\"\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
#else
    if (::fork() == 0) {
        ::execl("/bin/sh", "sh", "-c", "exec 2>/dev/null; sleep 15; : >\"$0\"", marker.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
#endif
}

CK_RV scriptedInitialize(void* args) {
    std::ostringstream line;
    line << "C_Initialize";
    if (args) {
        auto* a = static_cast<CK_C_INITIALIZE_ARGS*>(args);
        bool mutexes = a->CreateMutex || a->DestroyMutex || a->LockMutex || a->UnlockMutex;
        line << " flags=0x" << std::hex << a->flags << std::dec << " mutexes=" << (mutexes ? 1 : 0);
    } else {
        line << " args=null";
    }
    if (auto failure = scriptedFailure("C_Initialize")) return journal(line.str(), *failure);
    chatter("C_Initialize");
    startLingeringChild();
    Module& m = module();
    if (m.initialized) return journal(line.str(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    m.initialized = true;
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedFinalize(void*) {
    const std::string line = "C_Finalize";
    SCRIPTED_PREAMBLE("C_Finalize", line);
    Module& m = module();
    m.initialized = false;
    m.sessions.clear();
    for (auto& s : m.slots) s.loggedIn = false;
    return journal(line, CKR_OK);
}

CK_RV scriptedGetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    std::ostringstream line;
    line << "C_GetSlotList present=" << int(present) << " list=" << (list ? 1 : 0);
    if (auto failure = scriptedFailure("C_GetSlotList")) return journal(line.str(), *failure);
    chatter("C_GetSlotList");
    if (!module().initialized) return journal(line.str(), CKR_CRYPTOKI_NOT_INITIALIZED);
    if (!count) return journal(line.str(), CKR_ARGUMENTS_BAD);
    std::vector<CK_SLOT_ID> ids;
    for (const auto& s : module().slots)
        if (!present || s.tokenPresent) ids.push_back(s.id);
    CK_RV rv = CKR_OK;
    if (list) {
        if (*count < ids.size())
            rv = CKR_BUFFER_TOO_SMALL;
        else
            std::copy(ids.begin(), ids.end(), list);
    }
    *count = ids.size();
    line << " count=" << ids.size();
    return journal(line.str(), rv);
}

CK_RV scriptedOpenSession(CK_SLOT_ID slotId, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR out) {
    std::ostringstream line;
    line << "C_OpenSession slot=" << slotId << " flags=0x" << std::hex << flags << std::dec;
    SCRIPTED_PREAMBLE("C_OpenSession", line.str());
    Slot* slot = slotById(slotId);
    if (!slot) return journal(line.str(), CKR_SLOT_ID_INVALID);
    if (!slot->tokenPresent) return journal(line.str(), CKR_TOKEN_NOT_PRESENT);
    if (!(flags & CKF_SERIAL_SESSION)) return journal(line.str(), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    if ((flags & CKF_RW_SESSION) && slot->readOnly) return journal(line.str(), CKR_TOKEN_WRITE_PROTECTED);
    if (!out) return journal(line.str(), CKR_ARGUMENTS_BAD);
    Module& m = module();
    CK_SESSION_HANDLE h = m.nextSession++;
    m.sessions[h].slot = slotId;
    *out = h;
    line << " session=" << h;
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedCloseSession(CK_SESSION_HANDLE h) {
    std::ostringstream line;
    line << "C_CloseSession session=" << h;
    SCRIPTED_PREAMBLE("C_CloseSession", line.str());
    SCRIPTED_SESSION(line.str());
    CK_SLOT_ID slot = s->slot;
    Module& m = module();
    m.sessions.erase(h);
    bool others = false;
    for (const auto& [_, other] : m.sessions) others |= other.slot == slot;
    if (!others) slotById(slot)->loggedIn = false;  // the login ends with the last session
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedLogin(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) {
    std::ostringstream line;
    line << "C_Login session=" << h << " user=" << user << " pinLen=" << pinLen << " pinPtr=" << (pin ? 1 : 0);
    SCRIPTED_PREAMBLE("C_Login", line.str());
    SCRIPTED_SESSION(line.str());
    if (user != CKU_USER) return journal(line.str(), CKR_USER_TYPE_INVALID);
    Slot* slot = slotById(s->slot);
    if (slot->loggedIn) return journal(line.str(), CKR_USER_ALREADY_LOGGED_IN);
    std::string given = pin ? std::string(reinterpret_cast<const char*>(pin), pinLen) : std::string();
    if (slot->pin && given != *slot->pin) return journal(line.str(), CKR_PIN_INCORRECT);
    slot->loggedIn = true;
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedLogout(CK_SESSION_HANDLE h) {
    std::ostringstream line;
    line << "C_Logout session=" << h;
    SCRIPTED_PREAMBLE("C_Logout", line.str());
    SCRIPTED_SESSION(line.str());
    Slot* slot = slotById(s->slot);
    if (!slot->loggedIn) return journal(line.str(), CKR_USER_NOT_LOGGED_IN);
    slot->loggedIn = false;
    return journal(line.str(), CKR_OK);
}

std::string templateText(const CK_ATTRIBUTE* templ, CK_ULONG count) {
    std::ostringstream s;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (i) s << ',';
        s << attributeName(templ[i].type) << ':';
        const auto* bytes = static_cast<const unsigned char*>(templ[i].pValue);
        bool ulongValued = templ[i].type == CKA_CLASS || templ[i].type == CKA_CERTIFICATE_TYPE ||
                           templ[i].type == CKA_KEY_TYPE;
        if (ulongValued && templ[i].ulValueLen == sizeof(CK_ULONG) && bytes) {
            CK_ULONG v;
            std::memcpy(&v, bytes, sizeof v);
            s << v;
        } else if (bytes) {
            s << toHex(bytes, templ[i].ulValueLen);
        }
    }
    return s.str();
}

CK_RV scriptedFindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    std::ostringstream line;
    line << "C_FindObjectsInit session=" << h << " template=" << templateText(templ, count);
    SCRIPTED_PREAMBLE("C_FindObjectsInit", line.str());
    SCRIPTED_SESSION(line.str());
    if (s->searching) return journal(line.str(), CKR_OPERATION_ACTIVE);
    s->found.clear();
    s->next = 0;
    for (const auto& o : module().objects) {
        if (!visibleObject(*s, o.handle)) continue;
        bool match = true;
        for (CK_ULONG i = 0; i < count && match; ++i) {
            auto it = o.attributes.find(templ[i].type);
            if (it == o.attributes.end() || o.unavailable.count(templ[i].type)) {
                match = false;
                continue;
            }
            const auto* want = static_cast<const unsigned char*>(templ[i].pValue);
            match = it->second.size() == templ[i].ulValueLen &&
                    (templ[i].ulValueLen == 0 || std::memcmp(it->second.data(), want, templ[i].ulValueLen) == 0);
        }
        if (match) s->found.push_back(o.handle);
    }
    s->searching = true;
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedFindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
    std::ostringstream line;
    line << "C_FindObjects session=" << h << " max=" << max;
    SCRIPTED_PREAMBLE("C_FindObjects", line.str());
    SCRIPTED_SESSION(line.str());
    if (!s->searching) return journal(line.str(), CKR_OPERATION_NOT_INITIALIZED);
    if (!out || !count) return journal(line.str(), CKR_ARGUMENTS_BAD);
    Module& m = module();
    CK_ULONG limit = m.batchSize ? std::min(max, m.batchSize) : max;
    CK_ULONG n = 0;
    if (m.endlessSearch == "fresh") {
        while (n < limit) out[n++] = s->nextFresh++;
    } else {
        if (m.endlessSearch == "repeat" && s->next >= s->found.size()) s->next = 0;
        while (n < limit && s->next < s->found.size()) out[n++] = s->found[s->next++];
    }
    *count = n;
    line << " count=" << n << " handles=";
    for (CK_ULONG i = 0; i < n; ++i) line << (i ? "," : "") << out[i];
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedFindObjectsFinal(CK_SESSION_HANDLE h) {
    std::ostringstream line;
    line << "C_FindObjectsFinal session=" << h;
    SCRIPTED_PREAMBLE("C_FindObjectsFinal", line.str());
    SCRIPTED_SESSION(line.str());
    if (!s->searching) return journal(line.str(), CKR_OPERATION_NOT_INITIALIZED);
    s->searching = false;
    return journal(line.str(), CKR_OK);
}

CK_RV scriptedGetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ,
                                CK_ULONG count) {
    std::ostringstream line;
    line << "C_GetAttributeValue session=" << h << " object=" << object << " types=";
    bool buffers = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        line << (i ? "," : "") << attributeName(templ[i].type);
        buffers |= templ[i].pValue != nullptr;
    }
    line << " buffers=" << (buffers ? 1 : 0);
    SCRIPTED_PREAMBLE("C_GetAttributeValue", line.str());
    SCRIPTED_SESSION(line.str());
    const Object* o = visibleObject(*s, object);
    if (!o) return journal(line.str(), CKR_OBJECT_HANDLE_INVALID);
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = templ[i];
        auto it = o->attributes.find(a.type);
        if (o->sensitive.count(a.type)) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
        } else if (it == o->attributes.end() || o->unavailable.count(a.type)) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!a.pValue) {
            a.ulValueLen = it->second.size();
        } else if (a.ulValueLen < it->second.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!it->second.empty()) std::memcpy(a.pValue, it->second.data(), it->second.size());
            a.ulValueLen = it->second.size();
        }
    }
    return journal(line.str(), rv);
}

CK_RV scriptedSignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    std::ostringstream line;
    line << "C_SignInit session=" << h << " mechanism=0x" << std::hex << (mechanism ? mechanism->mechanism : 0)
         << std::dec << " params=" << (mechanism && mechanism->pParameter ? 1 : 0) << " key=" << key;
    SCRIPTED_PREAMBLE("C_SignInit", line.str());
    SCRIPTED_SESSION(line.str());
    if (!mechanism && s->signKey) {
        s->signKey = nullptr;
        return journal(line.str(), CKR_OK);
    }
    if (s->signKey) return journal(line.str(), CKR_OPERATION_ACTIVE);
    if (!mechanism || mechanism->mechanism != CKM_RSA_PKCS) return journal(line.str(), CKR_MECHANISM_INVALID);
    for (const auto& o : module().objects)
        if (o.handle == key && o.slot == s->slot && o.isPrivate && !slotById(s->slot)->loggedIn)
            return journal(line.str(), CKR_USER_NOT_LOGGED_IN);
    const Object* o = visibleObject(*s, key);
    if (!o || !o->key) return journal(line.str(), CKR_KEY_HANDLE_INVALID);
    if (EVP_PKEY_get_base_id(o->key.get()) != EVP_PKEY_RSA) return journal(line.str(), CKR_KEY_TYPE_INCONSISTENT);
    s->signKey = o;
    return journal(line.str(), CKR_OK);
}

// `real` as far as it goes, then bytes from a fixed xorshift sequence.
void fillForged(CK_BYTE_PTR out, std::size_t length, const Bytes& real) {
    std::uint32_t x = 0x9E3779B9;
    for (std::size_t i = 0; i < length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = i < real.size() ? real[i] : static_cast<CK_BYTE>(x);
    }
}

CK_RV scriptedSign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG dataLen, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen) {
    std::ostringstream line;
    line << "C_Sign session=" << h << " dataLen=" << dataLen << " buffer=" << (sig ? 1 : 0);
    SCRIPTED_PREAMBLE("C_Sign", line.str());
    SCRIPTED_SESSION(line.str());
    if (!s->signKey) return journal(line.str(), CKR_OPERATION_NOT_INITIALIZED);
    if (!sigLen) return journal(line.str(), CKR_ARGUMENTS_BAD);
    EVP_PKEY* key = s->signKey->key.get();
    const std::optional<ForgedSignature>& forged = module().forged;
    const std::optional<CarelessLengthQuery>& careless = module().lengthQuery;
    CK_ULONG size = forged ? forged->length : static_cast<CK_ULONG>(EVP_PKEY_get_size(key));
    if (!sig) {
        *sigLen = careless ? careless->answer : size;
        line << " sigLen=" << *sigLen;
        return journal(line.str(), CKR_OK);
    }
    line << " given=" << *sigLen;
    if (careless && careless->insist && *sigLen < careless->answer) {
        *sigLen = careless->answer;
        return journal(line.str(), CKR_BUFFER_TOO_SMALL);
    }
    if (!careless && *sigLen < size) {
        *sigLen = size;
        return journal(line.str(), CKR_BUFFER_TOO_SMALL);
    }
    s->signKey = nullptr;  // the operation ends here, whatever happens
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                   EVP_PKEY_CTX_free);
    Bytes real(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    size_t outLen = real.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), real.data(), &outLen, data, dataLen) != 1)
        return journal(line.str(), CKR_DATA_LEN_RANGE);
    real.resize(outLen);
    if (forged) {
        outLen = forged->length;
        fillForged(sig, outLen, forged->garbage ? Bytes() : real);
    } else {
        std::memcpy(sig, real.data(), outLen);
    }
    *sigLen = static_cast<CK_ULONG>(outLen);
    line << " sigLen=" << outLen;
    return journal(line.str(), CKR_OK);
}

CK_FUNCTION_LIST functionList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_Initialize = scriptedInitialize;
    list.C_Finalize = scriptedFinalize;
    list.C_GetFunctionList = C_GetFunctionList;
    list.C_GetSlotList = scriptedGetSlotList;
    list.C_OpenSession = scriptedOpenSession;
    list.C_CloseSession = scriptedCloseSession;
    list.C_Login = scriptedLogin;
    list.C_Logout = scriptedLogout;
    list.C_FindObjectsInit = scriptedFindObjectsInit;
    list.C_FindObjects = scriptedFindObjects;
    list.C_FindObjectsFinal = scriptedFindObjectsFinal;
    list.C_GetAttributeValue = scriptedGetAttributeValue;
    list.C_SignInit = scriptedSignInit;
    list.C_Sign = scriptedSign;
    return list;
}

}  // namespace

extern "C" SCRIPTED_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
    static CK_FUNCTION_LIST list = functionList();
    configure();
    if (auto failure = scriptedFailure("C_GetFunctionList")) return journal("C_GetFunctionList", *failure);
    if (!out) return journal("C_GetFunctionList", CKR_ARGUMENTS_BAD);
    *out = &list;
    return journal("C_GetFunctionList", CKR_OK);
}
