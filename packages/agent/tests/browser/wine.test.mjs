// The Windows build, run under Wine, as Chromium's native-messaging host: the
// closest this machine comes to the product's own setting (no Windows
// browser runs here). The host manifest names a small script that starts the
// exe with Wine in a private copy of the Wine prefix, so the wineserver this
// browser starts serves no one else and can be ended with it. No token is
// reachable from the exe here, so the listing is empty.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { Browser } from './driver/browser.mjs';
import { AWKWARD_LENGTHS, pingOfLength, unknownTypeWithReplyOfLength } from './driver/frames.mjs';

const REPO = fileURLToPath(new URL('../../../../', import.meta.url));
const EXE = path.resolve(process.env.QUILLON_WINDOWS_AGENT || path.join(REPO, 'build-win', 'quillon-agent.exe'));
const PREFIX = path.resolve(process.env.QUILLON_WINEPREFIX || path.join(REPO, 'build-win', 'wineprefix'));
const PONG = { type: 'QUILLON_PONG', version: '1.1.2' };

function missing() {
  if (!fs.existsSync(EXE)) return `no Windows build at ${EXE}`;
  if (!fs.existsSync(path.join(PREFIX, 'system.reg'))) return `no Wine prefix at ${PREFIX}`;
  if (spawnSync('wine', ['--version']).status !== 0) return 'wine is not installed';
  return null;
}

const skip = missing();

describe('the Windows build under Wine, driven by Chromium', { skip: skip ?? false }, () => {
  let scratch;
  let browser;

  before(async () => {
    const base = process.env.QUILLON_BROWSER_SCRATCH || os.tmpdir();
    fs.mkdirSync(base, { recursive: true });
    scratch = fs.mkdtempSync(path.join(base, 'quillon-wine-'));
    const prefix = path.join(scratch, 'wineprefix');
    execFileSync('cp', ['-a', '--reflink=auto', PREFIX, prefix]);
    const host = path.join(scratch, 'wine-host.sh');
    fs.writeFileSync(host, `#!/bin/sh\nexec wine '${EXE}' "$@"\n`, { mode: 0o755 });
    browser = await Browser.start({
      scratch,
      agentPath: host,
      env: { WINEPREFIX: prefix, WINEDEBUG: '-all', WINEDLLOVERRIDES: 'mscoree,mshtml=' },
      timeoutMs: 60000,
    });
  });

  after(async () => {
    if (browser) await browser.close();
    if (scratch && !process.env.QUILLON_BROWSER_KEEP) fs.rmSync(scratch, { recursive: true, force: true });
  });

  test('ping, unknown and malformed requests, and an empty listing, over both channels', async () => {
    const messages = [
      { type: 'QUILLON_PING' },
      { type: 'QUILLON_AÇÃO\n<&>' },
      { type: 'QUILLON_AGENT_SIGN', thumbprint: 'ab', data: 'AA==', pin: 1234 },
      { type: 'QUILLON_LIST_CERTS' },
    ];
    const { single, port } = await browser.viaBothChannels(messages);
    for (const replies of [single, port]) {
      assert.deepEqual(replies[0], PONG);
      assert.deepEqual(replies[1], { type: 'ERROR', error: 'tipo não suportado: QUILLON_AÇÃO\n<&>' });
      assert.match(replies[2].error, /^json inválido para SIGN: \S/);
      assert.deepEqual(replies[3], { type: 'QUILLON_LIST_CERTS_RESPONSE', certificates: [] });
    }
  });

  test('frame lengths made of line-feed, carriage-return and Ctrl-Z bytes pass both ways', async () => {
    const port = await browser.openPort();
    try {
      const requests = await browser.portSend(port, AWKWARD_LENGTHS.map(pingOfLength));
      assert.deepEqual(requests.replies, AWKWARD_LENGTHS.map(() => PONG));
      const replies = await browser.portSend(port, AWKWARD_LENGTHS.map(unknownTypeWithReplyOfLength));
      assert.deepEqual(replies.replies.map((r) => Buffer.byteLength(JSON.stringify(r))), AWKWARD_LENGTHS);
    } finally {
      await browser.closePort(port);
    }
  });
});
