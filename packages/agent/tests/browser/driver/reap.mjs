// Finds the processes that carry a run's mark in their environment (the
// browser, its helpers and the hosts it started) and ends them by pid.
// Usable from the lane script too: node reap.mjs <mark>
import fs from 'node:fs';
import { fileURLToPath } from 'node:url';

export const MARK_VARIABLE = 'QUILLON_BROWSER_RUN';

function environOf(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/environ`);
  } catch {
    return null; // gone, or not ours to read
  }
}

// The processes marked `mark` or `mark.<anything>` (a tag and the browsers
// under it). A zombie has no environment left and is not listed; it needs no
// ending.
export function markedProcesses(mark) {
  const entry = `${MARK_VARIABLE}=${mark}`;
  const found = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    const pid = Number(name);
    if (pid === process.pid) continue;
    const env = environOf(pid);
    if (env && env.toString('latin1').split('\0')
      .some((v) => v === entry || v.startsWith(`${entry}.`))) {
      found.push(pid);
    }
  }
  return found;
}

export function commandLineOf(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/cmdline`).toString('utf8').split('\0').slice(0, -1);
  } catch {
    return null;
  }
}

// SIGTERM first, SIGKILL for whatever is still there a moment later.
// Returns the pids that were found.
export async function endMarkedProcesses(mark, graceMs = 500) {
  const pids = markedProcesses(mark);
  for (const pid of pids) {
    try { process.kill(pid, 'SIGTERM'); } catch { /* already gone */ }
  }
  if (pids.length > 0) await new Promise((r) => setTimeout(r, graceMs));
  for (const pid of markedProcesses(mark)) {
    try { process.kill(pid, 'SIGKILL'); } catch { /* already gone */ }
  }
  return pids;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const mark = process.argv[2];
  if (!mark) {
    console.error('usage: node reap.mjs <mark>');
    process.exit(2);
  }
  const pids = await endMarkedProcesses(mark);
  if (pids.length > 0) console.log(`ended left-over processes: ${pids.join(' ')}`);
}
