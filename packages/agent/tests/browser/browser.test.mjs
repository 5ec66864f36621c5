// End-to-end: headless Chromium, our test extension and the Linux build of the
// agent registered as its native-messaging host, against a SoftHSM2 token.
// Every message goes through the browser's own native-messaging code, once
// through sendNativeMessage (a host process per message) and once through a
// connectNative port (one host process for many messages).
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import { after, before, describe, test } from 'node:test';

import { exchange } from './driver/agent.mjs';
import { extensionOrigin } from './driver/browser.mjs';
import { commandLineOf, markedProcesses } from './driver/reap.mjs';
import { AGENT, logMark, logSince, startWithToken } from './driver/setup.mjs';
import { certificatesByPkcs11Tool, thumbprintOf } from './driver/token.mjs';
import { verifyCms, verifyRaw } from './driver/verify.mjs';

const PONG = { type: 'QUILLON_PONG', version: '1.1.2' };
const NOT_FOUND = (tp) => `certificado com thumbprint '${tp}' não encontrado em nenhum token conectado`;
const BROWSER_DROPPED_REPLY = 'Error when communicating with the native messaging host.';
const STARTED_LINE = '=== agente iniciado (v1.1.2) ===';

let env;
let browser;
let token;

before(async () => {
  env = await startWithToken('e2e');
  ({ browser, token } = env);
});

after(async () => {
  if (env) await env.close();
});

// Sends each message once through sendNativeMessage and once more, all
// together, on a fresh port; returns both lists of replies.
async function viaBothChannels(messages) {
  const single = [];
  for (const m of messages) {
    const r = await browser.sendOne(m);
    assert.equal(r.error, undefined, `sendNativeMessage failed: ${r.error}`);
    single.push(r.reply);
  }
  const port = await browser.openPort();
  const r = await browser.portSend(port, messages);
  await browser.closePort(port);
  assert.equal(r.disconnected, null, `port disconnected: ${r.disconnected}`);
  return { single, port: r.replies };
}

function agentPids() {
  return markedProcesses(browser.mark).filter((pid) => commandLineOf(pid)?.[0] === AGENT);
}

// Hosts started by sendNativeMessage end on their own once the browser closes
// their pipe; the log is complete when every start has its end line.
async function settledLog(mark) {
  const deadline = Date.now() + 3000;
  for (;;) {
    const text = logSince(browser, mark);
    const starts = text.split(STARTED_LINE).length - 1;
    const ends = text.split('readMessage erro: ').length - 1;
    if (ends >= starts || Date.now() > deadline) return text;
    await new Promise((r) => setTimeout(r, 25));
  }
}

describe('the request loop as the browser sees it', () => {
  test('ping is answered with the version over both channels', async () => {
    const { single, port } = await viaBothChannels([{ type: 'QUILLON_PING' },
      { type: 'QUILLON_PING', pin: 1234, extra: { nested: [1, 2] } }]);
    assert.deepEqual(single, [PONG, PONG]);
    assert.deepEqual(port, [PONG, PONG]);
  });

  test('unknown types and fields of the wrong kind get the fixed error texts', async () => {
    const messages = [
      { type: 'QUILLON_NOPE' },
      { type: 'quillon_ping' },
      { type: 'QUILLON_AÇÃO <&>' },
      {},
      { type: 5 },
      { type: 'QUILLON_AGENT_SIGN', thumbprint: 'ab', data: 'AA==', pin: 1234 },
      { type: 'QUILLON_AGENT_SIGN_BATCH', thumbprint: 'ab', pin: '1', items: 'none' },
    ];
    const { single, port } = await viaBothChannels(messages);
    for (const replies of [single, port]) {
      for (const r of replies) assert.deepEqual(Object.keys(r), ['type', 'error']);
      assert.deepEqual(replies.slice(0, 4).map((r) => r.error), [
        'tipo não suportado: QUILLON_NOPE',
        'tipo não suportado: quillon_ping',
        'tipo não suportado: QUILLON_AÇÃO <&>',
        'tipo não suportado: ',
      ]);
      assert.match(replies[4].error, /^json inválido: \S/);
      assert.match(replies[5].error, /^json inválido para SIGN: \S/);
      assert.match(replies[6].error, /^json inválido para SIGN_BATCH: \S/);
      assert.ok(replies.every((r) => r.type === 'ERROR'));
    }
  });

  test('Chromium passes the origin as an argument, and agent mode ignores it', async () => {
    const port = await browser.openPort();
    try {
      const r = await browser.portSend(port, [{ type: 'QUILLON_PING' }]);
      assert.deepEqual(r.replies, [PONG]);
      const pids = agentPids();
      assert.equal(pids.length, 1);
      assert.deepEqual(commandLineOf(pids[0]), [AGENT, extensionOrigin()]);
    } finally {
      await browser.closePort(port);
    }
    // Even arguments that mean something to the installer change nothing
    // when standard input is a pipe.
    const direct = await exchange(AGENT, [{ type: 'QUILLON_PING' }],
      { args: ['--uninstall', '--silent'], env: { ...process.env, TMPDIR: env.scratch } });
    assert.equal(direct.exitCode, 0);
    assert.deepEqual(direct.replies.map((r) => r.body.toString()),
      ['{"type":"QUILLON_PONG","version":"1.1.2"}']);
  });
});
