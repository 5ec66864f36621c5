// A throwaway SoftHSM2 token holding an RSA signing certificate with its
// private key and a second certificate without one, made with the openssl
// and pkcs11-tool command-line tools, and the environment under which the
// agent finds it (its candidate module paths are built from SystemRoot,
// ProgramFiles and ProgramFiles(x86)).
import { execFileSync } from 'node:child_process';
import { createHash, X509Certificate } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

export const SOFTHSM_MODULE = process.env.QUILLON_SOFTHSM || '/usr/lib/softhsm/libsofthsm2.so';

export const PIN = '4711-pin';
const SO_PIN = '8642-so-pin';

function run(cmd, args, env) {
  return execFileSync(cmd, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
}

export function thumbprintOf(der) {
  return createHash('sha1').update(der).digest('hex');
}

// A self-signed RSA certificate with a UTF-8 common name that carries a tax
// id, and its key, in `dir`.
export function makeSignerCertificate(dir, env = process.env) {
  const file = (name) => path.join(dir, name);
  run('openssl', ['req', '-x509', '-utf8', '-newkey', 'rsa:2048', '-nodes', '-sha256',
    '-keyout', file('signer.key'), '-out', file('signer.pem'), '-days', '365',
    '-subj', '/O=Quillon Teste/CN=João Conceição da Silva:12345678909'], env);
  run('openssl', ['pkey', '-in', file('signer.key'), '-outform', 'DER', '-out', file('signer.key.der')], env);
  run('openssl', ['x509', '-in', file('signer.pem'), '-outform', 'DER', '-out', file('signer.der')], env);
  const der = fs.readFileSync(file('signer.der'));
  return {
    der,
    derPath: file('signer.der'),
    pemPath: file('signer.pem'),
    keyPemPath: file('signer.key'),
    keyDerPath: file('signer.key.der'),
    thumbprint: thumbprintOf(der),
    publicKeyPem: new X509Certificate(der).publicKey.export({ type: 'spki', format: 'pem' }),
  };
}

export function makeToken(scratch) {
  const dir = path.join(scratch, 'token');
  const tokens = path.join(dir, 'tokens');
  fs.mkdirSync(tokens, { recursive: true });
  const conf = path.join(dir, 'softhsm2.conf');
  fs.writeFileSync(conf,
    `directories.tokendir = ${tokens}\nobjectstore.backend = file\nlog.level = ERROR\n`);

  // The module stands where a vendor's installer would put it on Windows.
  const systemRoot = path.join(scratch, 'windows');
  const programs = path.join(scratch, 'programs');
  fs.mkdirSync(path.join(systemRoot, 'System32'), { recursive: true });
  fs.mkdirSync(programs, { recursive: true });
  fs.symlinkSync(SOFTHSM_MODULE, path.join(systemRoot, 'System32', 'eToken.dll'));

  const env = {
    ...process.env,
    SOFTHSM2_CONF: conf,
  };
  run('softhsm2-util', ['--init-token', '--free', '--label', 'quillon-browser',
    '--so-pin', SO_PIN, '--pin', PIN], env);

  const signer = makeSignerCertificate(dir, env);
  const file = (name) => path.join(dir, name);
  // A second certificate without a key on the token: listed all the same.
  run('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
    '-keyout', file('other.key'), '-out', file('other.pem'), '-days', '30',
    '-subj', '/CN=Autoridade de Teste'], env);
  run('openssl', ['x509', '-in', file('other.pem'), '-outform', 'DER', '-out', file('other.der')], env);

  const tool = (...args) => run('pkcs11-tool', ['--module', SOFTHSM_MODULE, ...args], env);
  tool('--login', '--pin', PIN, '--write-object', signer.keyDerPath, '--type', 'privkey',
    '--id', '01', '--label', 'signer');
  tool('--login', '--pin', PIN, '--write-object', signer.derPath, '--type', 'cert',
    '--id', '01', '--label', 'signer');
  tool('--write-object', file('other.der'), '--type', 'cert', '--id', '02', '--label', 'other');

  return {
    pin: PIN,
    dir,
    signer,
    // What the agent inherits through the browser.
    agentEnv: {
      SOFTHSM2_CONF: conf,
      SystemRoot: systemRoot,
      ProgramFiles: programs,
      'ProgramFiles(x86)': programs,
    },
    toolEnv: env,
  };
}

// Every certificate object on the token, as pkcs11-tool reads it.
export function certificatesByPkcs11Tool(token) {
  const listing = run('pkcs11-tool', ['--module', SOFTHSM_MODULE, '--list-objects', '--type', 'cert'],
    token.toolEnv).toString('utf8');
  const ids = [...listing.matchAll(/^\s*ID:\s*([0-9a-f]+)\s*$/gm)].map((m) => m[1]);
  return ids.map((id) => {
    const out = path.join(token.dir, `read-${id}.der`);
    run('pkcs11-tool', ['--module', SOFTHSM_MODULE, '--read-object', '--type', 'cert', '--id', id,
      '--output-file', out], token.toolEnv);
    return fs.readFileSync(out);
  });
}
