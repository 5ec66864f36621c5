// Shared set-up of the browser tests and the figures: the agent binary, a
// scratch folder, a token and a browser that reaches the token.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Browser } from './browser.mjs';
import { makeToken } from './token.mjs';

const REPO = fileURLToPath(new URL('../../../../../', import.meta.url));

// The lane tests the build at build/quillon-agent; QUILLON_AGENT points
// elsewhere during development.
export const AGENT = path.resolve(process.env.QUILLON_AGENT || path.join(REPO, 'build', 'quillon-agent'));

export async function startWithToken(name) {
  if (!fs.existsSync(AGENT)) throw new Error(`agent binary not found: ${AGENT}`);
  const base = process.env.QUILLON_BROWSER_SCRATCH || os.tmpdir();
  fs.mkdirSync(base, { recursive: true });
  const scratch = fs.mkdtempSync(path.join(base, `quillon-${name}-`));
  const token = makeToken(scratch);
  const browser = await Browser.start({ scratch, agentPath: AGENT, env: token.agentEnv });
  return {
    scratch,
    token,
    browser,
    async close() {
      const leftOver = await browser.close();
      if (!process.env.QUILLON_BROWSER_KEEP) fs.rmSync(scratch, { recursive: true, force: true });
      return leftOver;
    },
  };
}

// The part of the agent's log (in the browser's TMPDIR) written after a
// mark taken with logMark().
export function logMark(browser) {
  try {
    return fs.statSync(browser.logPath).size;
  } catch {
    return 0;
  }
}

export function logSince(browser, mark) {
  try {
    return fs.readFileSync(browser.logPath).subarray(mark).toString('utf8');
  } catch {
    return '';
  }
}
