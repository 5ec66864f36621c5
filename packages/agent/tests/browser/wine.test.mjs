// The Windows build, run under Wine, as Chromium's native-messaging host: the
// closest this machine comes to the product's own setting (no Windows
// browser runs here). The host manifest names a small script that starts the
// exe with Wine in a private copy of the Wine prefix, so the wineserver this
// browser starts serves no one else and can be ended with it. The token is
// our scripted test module (a Windows DLL) installed in that prefix at the
// first candidate path, C:\Windows\System32\eToken.dll, holding an RSA key
// and its certificate.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { Browser } from './driver/browser.mjs';
import { assertAwkwardLengthsPassBothWays, PONG } from './driver/frames.mjs';
import { makeSignerCertificate } from './driver/token.mjs';
import { assertSignedBy } from './driver/verify.mjs';

const REPO = fileURLToPath(new URL('../../../../', import.meta.url));
const EXE = path.resolve(process.env.QUILLON_WINDOWS_AGENT || path.join(REPO, 'build-win', 'quillon-agent.exe'));
const PREFIX = path.resolve(process.env.QUILLON_WINEPREFIX || path.join(REPO, 'build-win', 'wineprefix'));
const MODULE = path.resolve(process.env.QUILLON_WINDOWS_TEST_MODULE || path.join(REPO, 'build-win',
  'packages', 'agent', 'tests', 'token', 'scripted_module', 'quillon_scripted_module.dll'));
const PIN = '2468-pin';

function missing() {
  if (!fs.existsSync(EXE)) return `no Windows build at ${EXE}`;
  if (!fs.existsSync(path.join(PREFIX, 'system.reg'))) return `no Wine prefix at ${PREFIX}`;
  if (!fs.existsSync(MODULE)) return `no Windows test module at ${MODULE}`;
  if (spawnSync('wine', ['--version']).status !== 0) return 'wine is not installed';
  return null;
}

const skip = missing();

describe('the Windows build under Wine, driven by Chromium', { skip: skip ?? false }, () => {
  let scratch;
  let browser;
  let signer;

  before(async () => {
    const base = process.env.QUILLON_BROWSER_SCRATCH || os.tmpdir();
    fs.mkdirSync(base, { recursive: true });
    scratch = fs.mkdtempSync(path.join(base, 'quillon-wine-'));
    const prefix = path.join(scratch, 'wineprefix');
    execFileSync('cp', ['-a', '--reflink=auto', PREFIX, prefix]);
    for (const log of agentLogs()) fs.rmSync(log); // earlier runs' lines are not ours to judge
    installScriptedToken(prefix);
    const host = path.join(scratch, 'wine-host.sh');
    fs.writeFileSync(host, wineHostScript(), { mode: 0o755 });
    browser = await Browser.start({
      scratch,
      agentPath: host,
      env: { WINEPREFIX: prefix, WINEDEBUG: '-all', WINEDLLOVERRIDES: 'mscoree,mshtml=' },
      timeoutMs: 60000,
    });
  });

  // Wine's launcher now and then fails a start before the program runs
  // (status 1, nothing written, seen on fresh prefixes); the browser would
  // see its host exit at once. On a pipe the agent itself never ends with
  // status 1 (a crash ends with an exception code), and a failed start has
  // read nothing of the input, so such a start is made again, at most twice.
  function wineHostScript() {
    return [
      '#!/bin/sh',
      'for try in 1 2 3; do',
      `  wine '${EXE}' "$@"`,
      '  status=$?',
      '  [ "$status" -eq 1 ] || exit "$status"',
      '  echo "wine did not start the agent (status 1); starting it again" >&2',
      'done',
      'exit 1',
      '',
    ].join('\n');
  }

  function installScriptedToken(prefix) {
    const dir = path.join(scratch, 'token');
    fs.mkdirSync(dir);
    signer = makeSignerCertificate(dir);
    const system32 = path.join(prefix, 'drive_c', 'windows', 'system32');
    fs.copyFileSync(MODULE, path.join(system32, 'eToken.dll'));
    const script = {
      slots: [{
        pin: PIN,
        objects: [
          { class: 'certificate', valueHex: signer.der.toString('hex'), id: '01', label: 'signer' },
          { class: 'privateKey', keyFile: `Z:${signer.keyPemPath.replaceAll('/', '\\')}`, id: '01',
            private: true },
        ],
      }],
    };
    fs.writeFileSync(path.join(system32, 'eToken.dll.json'), JSON.stringify(script));
  }

  // The agent's log lands in the prefix's temporary folder, %TEMP% of the
  // Wine user. (The user folders hold links into the Unix home: no
  // recursive search here.)
  function agentLogs() {
    const users = path.join(scratch, 'wineprefix', 'drive_c', 'users');
    return fs.readdirSync(users)
      .flatMap((user) => [path.join(users, user, 'Temp'), path.join(users, user, 'AppData', 'Local', 'Temp')])
      .map((temp) => path.join(temp, 'quillon-agent.log'))
      .filter((log) => fs.existsSync(log));
  }

  function windowsLog() {
    return agentLogs().map((f) => fs.readFileSync(f, 'utf8')).join('');
  }

  after(async () => {
    if (browser) await browser.close();
    if (scratch && !process.env.QUILLON_BROWSER_KEEP) fs.rmSync(scratch, { recursive: true, force: true });
  });

  test('ping, unknown and malformed requests over both channels', async () => {
    const messages = [
      { type: 'QUILLON_PING' },
      { type: 'QUILLON_AÇÃO\n<&>' },
      { type: 'QUILLON_AGENT_SIGN', thumbprint: 'ab', data: 'AA==', pin: 1234 },
    ];
    const { single, port } = await browser.viaBothChannels(messages);
    for (const replies of [single, port]) {
      assert.deepEqual(replies[0], PONG);
      assert.deepEqual(replies[1], { type: 'ERROR', error: 'tipo não suportado: QUILLON_AÇÃO\n<&>' });
      assert.match(replies[2].error, /^json inválido para SIGN: \S/);
    }
  });

  test('listing, CMS, raw and batch signatures on the scripted token, checked by openssl', async () => {
    const data = Buffer.from('assinado no Windows \u00e9 \r\n\x1a\x00 fim');
    const sign = (format, pin = PIN) => ({ type: 'QUILLON_AGENT_SIGN', thumbprint: signer.thumbprint,
      data: data.toString('base64'), format, pin });
    const batch = { type: 'QUILLON_AGENT_SIGN_BATCH', thumbprint: signer.thumbprint, pin: PIN,
      items: [{ id: 'a', data: data.toString('base64') }, { id: 'b', data: '%%' },
        { id: 'c', data: data.toString('base64'), format: 'raw' }] };
    const { single, port } = await browser.viaBothChannels([
      { type: 'QUILLON_LIST_CERTS' }, sign(''), sign('raw'), batch, sign('raw', 'wrong-pin-1357')]);
    for (const [list, cms, raw, signedBatch, wrongPin] of [single, port]) {
      assert.equal(list.certificates.length, 1);
      assert.equal(list.certificates[0].certDer, signer.der.toString('base64'));
      assert.equal(list.certificates[0].thumbprint, signer.thumbprint);
      assertSignedBy(cms, data, '', signer, scratch);
      assertSignedBy(raw, data, 'raw', signer, scratch);
      assert.deepEqual(signedBatch.results.map((r) => r.id), ['a', 'b', 'c']);
      assertSignedBy(signedBatch.results[0], data, '', signer, scratch);
      assert.match(signedBatch.results[1].error, /^data base64 inválido: illegal base64 data at input byte /);
      assertSignedBy(signedBatch.results[2], data, 'raw', signer, scratch);
      assert.deepEqual(wrongPin, { type: 'ERROR', error:
        `erro ao assinar: certificado com thumbprint '${signer.thumbprint}' não encontrado em nenhum token conectado` });
    }
    const log = windowsLog();
    assert.match(log, /CKR_PIN_INCORRECT/);
    for (const secret of ['wrong-pin-1357', PIN, signer.thumbprint, data.toString('base64')]) {
      assert.ok(!log.includes(secret), `the log holds ${secret}`);
    }
  });

  test('frame lengths made of line-feed, carriage-return and Ctrl-Z bytes pass both ways', async () => {
    await assertAwkwardLengthsPassBothWays(browser);
  });
});
