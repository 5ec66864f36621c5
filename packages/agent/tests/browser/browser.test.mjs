// End-to-end: headless Chromium, our test extension and the Linux build of the
// agent registered as its native-messaging host, against a SoftHSM2 token.
// Every message goes through the browser's own native-messaging code, once
// through sendNativeMessage (a host process per message) and once through a
// connectNative port (one host process for many messages).
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { after, before, describe, test } from 'node:test';

import { exchange } from './driver/agent.mjs';
import { extensionOrigin } from './driver/browser.mjs';
import { assertAwkwardLengthsPassBothWays, PONG } from './driver/frames.mjs';
import { commandLineOf, markedProcesses } from './driver/reap.mjs';
import { AGENT, logMark, logSince, startWithToken } from './driver/setup.mjs';
import { certificatesByPkcs11Tool, thumbprintOf } from './driver/token.mjs';
import { assertSignedBy } from './driver/verify.mjs';

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

function agentPids() {
  return markedProcesses(browser.mark).filter((pid) => commandLineOf(pid)?.[0] === AGENT);
}

const pause = () => new Promise((r) => setTimeout(r, 25));

// A host that sendNativeMessage started ends on its own once the browser has
// its reply and closes the pipe, a moment later: counts of agent processes
// and reads of the log wait for that.
async function agentsGone() {
  const deadline = Date.now() + 3000;
  while (agentPids().length > 0 && Date.now() < deadline) await pause();
  assert.deepEqual(agentPids(), [], 'agents of earlier messages are still running');
}

// The log since `mark`, once every agent start in it has its end line.
async function settledLog(mark) {
  const deadline = Date.now() + 3000;
  for (;;) {
    const text = logSince(browser, mark);
    const starts = text.split(STARTED_LINE).length - 1;
    const ends = text.split('readMessage erro: ').length - 1;
    if (ends >= starts || Date.now() > deadline) return text;
    await pause();
  }
}

describe('the request loop as the browser sees it', () => {
  test('ping is answered with the version over both channels', async () => {
    const mark = logMark(browser);
    const { single, port } = await browser.viaBothChannels([{ type: 'QUILLON_PING' },
      { type: 'QUILLON_PING', pin: 1234, extra: { nested: [1, 2] } }]);
    assert.deepEqual(single, [PONG, PONG]);
    assert.deepEqual(port, [PONG, PONG]);
    // An agent for each sendNativeMessage, one for the port.
    const log = await settledLog(mark);
    assert.equal(log.split(STARTED_LINE).length - 1, 3, log);
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
    const { single, port } = await browser.viaBothChannels(messages);
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

  test('frame lengths made of line-feed, carriage-return and Ctrl-Z bytes pass both ways', async () => {
    await assertAwkwardLengthsPassBothWays(browser);
  });

  test('Chromium passes the origin as an argument, and agent mode ignores it', async () => {
    await agentsGone();
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
    // when standard input is a pipe: frames only on standard output. (The
    // user folders point into the scratch folder in case they did.)
    const home = browser.dirs.home;
    const direct = await exchange(AGENT, [{ type: 'QUILLON_PING' }], {
      args: ['--uninstall', '--silent'],
      env: { ...process.env, TMPDIR: env.scratch, HOME: home, LOCALAPPDATA: home, USERPROFILE: home },
    });
    assert.equal(direct.exitCode, 0);
    assert.deepEqual(direct.replies.map((r) => r.body.toString()),
      ['{"type":"QUILLON_PONG","version":"1.1.2"}']);
    assert.equal(direct.trailing, 0);
    assert.equal(direct.stderr, '');
  });
});

const TIME_TEXT = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/;

function signRequest(data, format, pin = token.pin) {
  return { type: 'QUILLON_AGENT_SIGN', thumbprint: token.signer.thumbprint,
    data: data.toString('base64'), format, pin };
}

function checkSignature(reply, data, format) {
  assertSignedBy(reply, data, format, token.signer, env.scratch);
}

describe('a SoftHSM2 token through the browser', () => {
  test('the listing holds exactly the certificates pkcs11-tool reads, byte for byte', async () => {
    const { single, port } = await browser.viaBothChannels([{ type: 'QUILLON_LIST_CERTS', pin: 'ignored' }]);
    assert.deepEqual(port, single);
    const reply = single[0];
    assert.equal(reply.type, 'QUILLON_LIST_CERTS_RESPONSE');
    const listed = reply.certificates.map((c) => c.certDer).sort();
    const onToken = certificatesByPkcs11Tool(token).map((der) => der.toString('base64')).sort();
    assert.equal(onToken.length, 2);
    assert.deepEqual(listed, onToken);
    for (const c of reply.certificates) {
      assert.equal(c.thumbprint, thumbprintOf(Buffer.from(c.certDer, 'base64')));
      assert.match(c.notBefore, TIME_TEXT);
      assert.match(c.notAfter, TIME_TEXT);
    }
    const signer = reply.certificates.find((c) => c.thumbprint === token.signer.thumbprint);
    assert.deepEqual(
      [signer.commonName, signer.taxId, signer.issuer],
      ['João Conceição da Silva:12345678909', '12345678909', 'João Conceição da Silva:12345678909'],
    );
  });

  test('a CMS and a raw signature, each verified by openssl', async () => {
    const data = randomBytes(3000);
    for (const format of ['', 'pkcs7-detached', 'raw', 'PKCS7-DETACHED']) {
      const r = await browser.sendOne(signRequest(data, format));
      assert.equal(r.reply?.type, 'QUILLON_AGENT_SIGN_RESPONSE', JSON.stringify(r));
      assert.deepEqual(Object.keys(r.reply), ['type', 'signature', 'algorithm', 'signedAt', 'certDer']);
      checkSignature(r.reply, data, format);
    }
  });

  test('a batch of 20 with one bad item in the middle', async () => {
    const items = Array.from({ length: 20 }, (_, i) => {
      const data = randomBytes(64 + i);
      return { id: `doc-${i}`, data, format: i % 2 ? 'raw' : '' };
    });
    const bad = 10;
    const request = {
      type: 'QUILLON_AGENT_SIGN_BATCH', thumbprint: token.signer.thumbprint, pin: token.pin,
      items: items.map((it, i) => ({ id: it.id, data: i === bad ? '*not base64*' : it.data.toString('base64'),
        format: it.format })),
    };
    const { single, port } = await browser.viaBothChannels([request]);
    for (const reply of [single[0], port[0]]) {
      assert.equal(reply.type, 'QUILLON_AGENT_SIGN_BATCH_RESPONSE');
      assert.deepEqual(reply.results.map((r) => r.id), items.map((it) => it.id));
      assert.deepEqual(reply.results[bad],
        { id: 'doc-10', error: 'data base64 inválido: illegal base64 data at input byte 0' });
      reply.results.forEach((r, i) => {
        if (i === bad) return;
        assert.deepEqual(Object.keys(r), ['id', 'signature', 'algorithm', 'signedAt', 'certDer']);
        checkSignature(r, items[i].data, items[i].format);
      });
    }
  });

  test('a wrong PIN: only the not-found text reaches the browser, and the log holds no PIN', async () => {
    const mark = logMark(browser);
    const wrongPin = 'Wr0ng-PIN-5150';
    const data = Buffer.from('wrong-pin payload 8c1f');
    const single = await browser.sendOne(signRequest(data, 'raw', wrongPin));
    assert.deepEqual(single.reply,
      { type: 'ERROR', error: `erro ao assinar: ${NOT_FOUND(token.signer.thumbprint)}` });
    const batch = await browser.sendOne({ type: 'QUILLON_AGENT_SIGN_BATCH',
      thumbprint: token.signer.thumbprint, pin: wrongPin, items: [{ id: 'a', data: 'AA==' }] });
    assert.deepEqual(batch.reply,
      { type: 'ERROR', error: `erro ao assinar batch: ${NOT_FOUND(token.signer.thumbprint)}` });

    const log = await settledLog(mark);
    assert.match(log, /CKR_PIN_INCORRECT/, 'the wrong PIN was tried on the token');
    for (const secret of [wrongPin, data.toString('base64'), token.signer.thumbprint, token.pin]) {
      assert.ok(!log.includes(secret), `the log holds ${secret}`);
    }
    // Nothing was locked: the right PIN still signs.
    const again = await browser.sendOne(signRequest(data, 'raw'));
    assert.equal(again.reply?.type, 'QUILLON_AGENT_SIGN_RESPONSE');
  });

  test('many messages on one port: replies in order, from one agent process', async () => {
    const d1 = randomBytes(100);
    const d2 = randomBytes(200);
    const round = [
      { type: 'QUILLON_PING' },
      { type: 'QUILLON_LIST_CERTS' },
      signRequest(d1, 'raw'),
      { type: 'QUILLON_PING' },
      signRequest(d2, 'pkcs7-detached'),
      { type: 'QUILLON_UNKNOWN' },
      { type: 'QUILLON_AGENT_SIGN_BATCH', thumbprint: token.signer.thumbprint, pin: token.pin,
        items: [{ id: 'x', data: d1.toString('base64'), format: 'raw' }, { id: 'y', data: '' }] },
      signRequest(d1, 'raw', 'not-the-pin'),
    ];
    const messages = [...round, ...round, ...round];
    const expected = ['QUILLON_PONG', 'QUILLON_LIST_CERTS_RESPONSE', 'QUILLON_AGENT_SIGN_RESPONSE',
      'QUILLON_PONG', 'QUILLON_AGENT_SIGN_RESPONSE', 'ERROR', 'QUILLON_AGENT_SIGN_BATCH_RESPONSE', 'ERROR'];

    await agentsGone();
    const mark = logMark(browser);
    const port = await browser.openPort();
    let r;
    try {
      r = await browser.portSend(port, messages);
      assert.equal(r.disconnected, null);
      assert.equal(agentPids().length, 1);
    } finally {
      await browser.closePort(port);
    }
    assert.deepEqual(r.replies.map((x) => x.type), [...expected, ...expected, ...expected]);
    for (let i = 0; i < messages.length; i += round.length) {
      const got = r.replies.slice(i, i + round.length);
      checkSignature(got[2], d1, 'raw');
      checkSignature(got[4], d2, 'pkcs7-detached');
      assert.equal(got[5].error, 'tipo não suportado: QUILLON_UNKNOWN');
      assert.deepEqual(got[6].results.map((x) => x.id), ['x', 'y']);
      checkSignature(got[6].results[0], d1, 'raw');
      checkSignature(got[6].results[1], Buffer.alloc(0), '');
      assert.equal(got[7].error, `erro ao assinar: ${NOT_FOUND(token.signer.thumbprint)}`);
    }
    const log = await settledLog(mark);
    assert.equal(log.split(STARTED_LINE).length - 1, 1, 'one agent served the whole port');
  });
});

// Chromium drops a reply above 1 MiB and refuses to send a request above
// 64 MiB; the agent itself sets neither bound. Each bound is met here
// exactly: one byte under it passes, one byte over it does not.
describe("the browser's own size limits", () => {
  const REPLY_LIMIT = 1024 * 1024;
  const REQUEST_LIMIT = 64 * 1024 * 1024;

  // A batch of raw signatures has a reply whose size is known in advance:
  // every result has the same length but for its id.
  function rawBatch(count, lastIdPadding) {
    const data = Buffer.from('size probe').toString('base64');
    const items = Array.from({ length: count }, (_, i) => ({
      id: `item-${String(i).padStart(5, '0')}${i === count - 1 ? 'x'.repeat(lastIdPadding) : ''}`,
      data, format: 'raw' }));
    return { type: 'QUILLON_AGENT_SIGN_BATCH', thumbprint: token.signer.thumbprint, pin: token.pin, items };
  }

  async function directReplySize(request) {
    const r = await exchange(AGENT, [request],
      { env: { ...process.env, ...token.agentEnv, TMPDIR: env.scratch } });
    assert.equal(r.replies.length, 1);
    assert.equal(r.replies[0].value.type, 'QUILLON_AGENT_SIGN_BATCH_RESPONSE', r.replies[0].body.toString());
    return r.replies[0];
  }

  test('a reply of 1,048,576 bytes arrives; one byte more is dropped by the browser', async (t) => {
    const one = (await directReplySize(rawBatch(1, 0))).body.length;
    const perItem = (await directReplySize(rawBatch(2, 0))).body.length - one;
    const count = 1 + Math.floor((REPLY_LIMIT - one) / perItem);
    const padding = REPLY_LIMIT - (one + (count - 1) * perItem);
    t.diagnostic(`the reply limit is met by a batch of ${count} raw signatures with this certificate`);

    // The agent writes the oversized reply whole: it has no bound of its own.
    const over = await directReplySize(rawBatch(count, padding + 1));
    assert.equal(over.body.length, REPLY_LIMIT + 1);
    assert.equal(over.value.results.length, count);
    assert.ok(over.value.results.every((x) => x.signature));

    const fits = await browser.sendOne(rawBatch(count, padding));
    assert.equal(fits.error, undefined);
    assert.equal(JSON.stringify(fits.reply).length, REPLY_LIMIT);
    assert.equal(fits.reply.results.length, count);

    const dropped = await browser.sendOne(rawBatch(count, padding + 1));
    assert.deepEqual(dropped.error, BROWSER_DROPPED_REPLY);
    const port = await browser.openPort();
    const onPort = await browser.portSend(port, [rawBatch(count, padding + 1)]);
    await browser.closePort(port);
    assert.deepEqual(onPort.replies, []);
    assert.equal(onPort.disconnected, BROWSER_DROPPED_REPLY);
  });

  test('a request of 64 MiB reaches the agent and is signed; one byte more never leaves the browser', async (t) => {
    // Data of zero bytes written as "AAAA…", sized so that the request's JSON
    // is exactly the limit; an ignored key takes up the remainder.
    const request = (total) => {
      const shell = { ...signRequest(Buffer.alloc(0), 'raw'), note: '' };
      const room = total - JSON.stringify(shell).length;
      const dataLength = room - (room % 4);
      return { message: { ...shell, note: 'n'.repeat(room - dataLength) },
        fill: { key: 'data', char: 'A', length: dataLength }, dataLength };
    };
    const atLimit = request(REQUEST_LIMIT);
    t.diagnostic(`the largest single item the browser passes on: ${(atLimit.dataLength / 4) * 3} bytes of data`);
    const mark = logMark(browser);
    const signed = await browser.sendOne(atLimit.message, atLimit.fill);
    assert.equal(signed.reply?.type, 'QUILLON_AGENT_SIGN_RESPONSE', JSON.stringify(signed).slice(0, 300));
    checkSignature(signed.reply, Buffer.alloc((atLimit.dataLength / 4) * 3), 'raw');

    const overLimit = request(REQUEST_LIMIT + 1);
    const refused = await browser.sendOne(overLimit.message, overLimit.fill);
    assert.match(refused.error, /Message exceeded maximum allowed size of 64MiB\.$/);
    const port = await browser.openPort();
    const onPort = await browser.portSend(port, [overLimit.message], overLimit.fill);
    assert.equal(onPort.error, 'Message exceeded maximum allowed size of 64MiB.');
    // Had it been delivered, its reply would come first on the port.
    const next = await browser.portSend(port, [{ type: 'QUILLON_PING' }]);
    await browser.closePort(port);
    assert.deepEqual(next.replies, [PONG]);
    assert.equal(next.total, 1);

    // Agents started: one for the request at the limit, one for the port;
    // none for the refused sendNativeMessage.
    const log = await settledLog(mark);
    assert.equal(log.split(STARTED_LINE).length - 1, 2, log);
  });
});
