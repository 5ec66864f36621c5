// Checks signatures with the openssl command-line tool, independently of the
// agent's own code.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

let serial = 0;

function files(dir, signature, data) {
  const stem = path.join(dir, `check-${process.pid}-${serial++}`);
  fs.writeFileSync(`${stem}.sig`, Buffer.from(signature, 'base64'));
  fs.writeFileSync(`${stem}.data`, data);
  return stem;
}

function openssl(args) {
  const r = spawnSync('openssl', args, { encoding: 'utf8' });
  return { ok: r.status === 0, output: `${r.stdout}${r.stderr}`.trim() };
}

// A detached CMS SignedData over `data`, signed by the token's certificate
// (which must be the one inside it and chains to itself).
export function verifyCms(dir, signatureB64, data, certPemPath) {
  const stem = files(dir, signatureB64, data);
  return openssl(['cms', '-verify', '-binary', '-inform', 'DER', '-in', `${stem}.sig`,
    '-content', `${stem}.data`, '-CAfile', certPemPath, '-purpose', 'any', '-out', '/dev/null']);
}

// A raw RSA PKCS#1 v1.5 signature over the SHA-256 of `data`.
export function verifyRaw(dir, signatureB64, data, publicKeyPem) {
  const stem = files(dir, signatureB64, data);
  fs.writeFileSync(`${stem}.pub`, publicKeyPem);
  return openssl(['dgst', '-sha256', '-verify', `${stem}.pub`, '-signature', `${stem}.sig`,
    `${stem}.data`]);
}

// A signing reply (or a signed batch result) for `data` in `format`: its
// fixed fields, its certificate, and its signature checked by openssl.
export function assertSignedBy(reply, data, format, signer, dir) {
  assert.equal(reply.algorithm, 'SHA256withRSA');
  assert.match(reply.signedAt, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
  assert.equal(reply.certDer, signer.der.toString('base64'));
  const cms = format === '' || format === 'pkcs7-detached';
  const check = cms
    ? verifyCms(dir, reply.signature, data, signer.pemPath)
    : verifyRaw(dir, reply.signature, data, signer.publicKeyPem);
  assert.ok(check.ok, `${cms ? 'CMS' : 'raw'} signature: openssl says: ${check.output}`);
}
