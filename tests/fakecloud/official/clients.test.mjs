// The services' official clients (npm "dropbox" and "@googleapis/drive")
// against the stand-in, through its proxy, trusting only the test authority.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import tls from 'node:tls';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const { Dropbox } = require('dropbox');
const { drive } = require('@googleapis/drive');
const { OAuth2Client } = require('google-auth-library');
const nodeFetch = require('node-fetch');

const here = path.dirname(fileURLToPath(import.meta.url));
const top = path.join(here, '..', '..', '..', 'fakecloud');
const ca = readFileSync(path.join(top, 'ca.pem'));
let standIn;
let port;
let agent;

// An HTTPS agent that opens each connection as a CONNECT tunnel through the
// stand-in's proxy port, then speaks TLS to the requested host.
class TunnelAgent extends https.Agent {
  createConnection(options, done) {
    const target = `${options.host}:${options.port || 443}`;
    const req = http.request({ host: '127.0.0.1', port, method: 'CONNECT', path: target, headers: { Host: target } });
    req.once('connect', (res, socket) => {
      if (res.statusCode !== 200) {
        socket.destroy();
        done(new Error(`proxy answered ${res.statusCode} to CONNECT ${target}`));
        return;
      }
      const secure = tls.connect({ socket, servername: options.host, ca, ALPNProtocols: ['http/1.1'] });
      secure.once('secureConnect', () => done(null, secure));
      secure.once('error', done);
    });
    req.once('error', done);
    req.end();
  }
}

async function control(method, p, body) {
  const res = await fetch(`http://127.0.0.1:${port}${p}`, {
    method, body: body === undefined ? undefined : JSON.stringify(body),
  });
  assert.equal(res.status, 200, `${method} ${p}`);
  return res.json();
}

before(async () => {
  standIn = spawn('/usr/bin/python3', [path.join(top, 'fakecloud')], { stdio: ['ignore', 'pipe', 'inherit'] });
  const line = await new Promise((resolve, reject) => {
    let seen = '';
    standIn.stdout.on('data', (d) => {
      seen += d;
      if (seen.includes('\n')) resolve(seen.split('\n')[0]);
    });
    standIn.once('exit', (code) => reject(new Error(`stand-in ended with ${code}`)));
  });
  const m = /^listening on 127\.0\.0\.1:(\d+)$/.exec(line);
  assert.ok(m, line);
  port = Number(m[1]);
  agent = new TunnelAgent({ keepAlive: true });
});

after(() => {
  agent?.destroy();
  standIn?.kill('SIGTERM');
});

function dropboxClient(accessToken) {
  return new Dropbox({ accessToken, fetch: (url, opts) => nodeFetch(url, { ...opts, agent }) });
}

// The error a call was refused with (a test failure when it was not).
async function refusal(call) {
  try {
    await call;
  } catch (err) {
    return err;
  }
  return assert.fail('not refused');
}

test('Dropbox SDK: account, space usage, folder, upload session of two appends and a finish', async () => {
  await control('POST', '/reset');
  const tok = await control('POST', '/tokens/issue', { service: 'dropbox' });
  const dbx = dropboxClient(tok.access_token);

  const account = await dbx.usersGetAccount({ account_id: tok.account_id });
  assert.deepEqual([account.status, account.result.email, account.result.account_id], [200, 'alice@example.com', tok.account_id]);

  const { result: space } = await dbx.usersGetSpaceUsage();
  assert.deepEqual([typeof space.used, space.allocation['.tag']], ['number', 'individual']);
  assert.ok(space.allocation.allocated > space.used);

  const folder = await dbx.filesCreateFolder({ path: '/Lumen Uploads' });
  assert.equal(folder.result.path_display, '/Lumen Uploads');
  const folder2 = await dbx.filesCreateFolderV2({ path: '/Lumen Uploads/Sub' });
  assert.equal(folder2.result.metadata.path_lower, '/lumen uploads/sub');
  const conflict = await refusal(dbx.filesCreateFolderV2({ path: '/Lumen Uploads' }));
  assert.deepEqual([conflict.status, conflict.error.error['.tag']], [409, 'path']);

  const data = randomBytes(3 * 1024 * 1024 + 17);
  const first = data.subarray(0, 2 * 1024 * 1024);
  const second = data.subarray(2 * 1024 * 1024);
  const start = await dbx.filesUploadSessionStart({ close: false, contents: Buffer.alloc(0) });
  const sid = start.result.session_id;
  assert.ok(sid);
  const append = (offset, contents) => dbx.filesUploadSessionAppendV2({ cursor: { session_id: sid, offset }, close: false, contents });
  await append(0, first);
  const wrong = await refusal(append(5, second));
  const { error } = wrong.error;
  assert.deepEqual([wrong.status, error['.tag'], error.correct_offset], [409, 'incorrect_offset', first.length]);
  await append(first.length, second);
  const done = await dbx.filesUploadSessionFinish({
    cursor: { session_id: sid, offset: data.length },
    commit: { path: '/Lumen Uploads/movie.mkv', mode: { '.tag': 'add' }, autorename: true, mute: false },
    contents: Buffer.alloc(0),
  });
  assert.deepEqual([done.result.size, done.result.path_display], [data.length, '/Lumen Uploads/movie.mkv']);
  const files = await control('GET', '/files?service=dropbox');
  const stored = files.files.find((f) => f.path === '/Lumen Uploads/movie.mkv');
  assert.equal(stored.sha256, createHash('sha256').update(data).digest('hex'));

  await control('POST', '/revoke', { service: 'dropbox' });
  const revoked = await refusal(dbx.usersGetSpaceUsage());
  assert.equal(revoked.status, 401);
  assert.match(revoked.error.error_summary, /^invalid_access_token/);
});

function googleAuth(tok) {
  const auth = new OAuth2Client({ clientId: tok.client_id, clientSecret: 'fakecloud-secret', transporterOptions: { agent } });
  auth.setCredentials({ access_token: tok.access_token, refresh_token: tok.refresh_token });
  return auth;
}

test('Google Drive client: about, files search, folder creation, resumable upload', async () => {
  await control('POST', '/reset');
  const tok = await control('POST', '/tokens/issue', { service: 'google' });
  const auth = googleAuth(tok);
  const v2 = drive({ version: 'v2', auth, agent });
  const v3 = drive({ version: 'v3', auth, agent });

  const about = await v2.about.get();
  assert.deepEqual([about.status, about.data.user.emailAddress, typeof about.data.quotaBytesTotal, typeof about.data.quotaBytesUsed],
                   [200, 'alice@example.com', 'string', 'string']);

  const search = await v3.files.list({ q: "name = 'Videos' and trashed = false", orderBy: 'folder' });
  assert.deepEqual([search.data.files.length, search.data.files[0].mimeType], [1, 'application/vnd.google-apps.folder']);
  const videos = search.data.files[0].id;

  const made = await v2.files.insert({
    requestBody: { title: 'Lumen', parents: [{ id: 'root' }], mimeType: 'application/vnd.google-apps.folder' },
  });
  assert.deepEqual([made.data.title, made.data.parents[0].isRoot], ['Lumen', true]);
  const again = await v3.files.list({ q: "name = 'Lumen' and trashed = false", orderBy: 'folder' });
  assert.equal(again.data.files[0].id, made.data.id);

  // The resumable upload, through the client's own authorised transport.
  const data = randomBytes(2 * 1024 * 1024 + 5);
  const startRes = await auth.request({
    url: 'https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable',
    method: 'POST',
    headers: { 'Content-Type': 'application/json; charset=UTF-8', 'X-Upload-Content-Type': 'video/x-matroska',
               'X-Upload-Content-Length': String(data.length) },
    data: { name: 'movie.mkv', parents: [videos] },
    agent,
  });
  assert.equal(startRes.status, 200);
  const location = startRes.headers.get ? startRes.headers.get('location') : startRes.headers.location;
  assert.match(location, /^https:\/\/www\.googleapis\.com\/upload\/drive\/v3\/files\?uploadType=resumable&upload_id=/);
  const half = 1024 * 1024;
  const partial = await auth.request({
    url: location, method: 'PUT', data: data.subarray(0, half), agent,
    headers: { 'Content-Range': `bytes 0-${half - 1}/${data.length}` },
    validateStatus: (s) => s === 308,
  });
  const range = partial.headers.get ? partial.headers.get('range') : partial.headers.range;
  assert.deepEqual([partial.status, range], [308, `bytes=0-${half - 1}`]);
  const put = await auth.request({
    url: location, method: 'PUT', data: data.subarray(half), agent,
    headers: { 'Content-Range': `bytes ${half}-${data.length - 1}/${data.length}` },
  });
  assert.deepEqual([put.status, put.data.name], [200, 'movie.mkv']);
  const meta = await v3.files.get({ fileId: put.data.id, fields: 'id,name,size,parents,sha256Checksum' });
  assert.deepEqual([meta.data.size, meta.data.parents, meta.data.sha256Checksum],
                   [String(data.length), [videos], createHash('sha256').update(data).digest('hex')]);

  // An expired access token is renewed by the client with its refresh token.
  await control('POST', '/tokens/expire', { service: 'google' });
  const renewed = await v2.about.get();
  assert.equal(renewed.data.user.emailAddress, 'alice@example.com');
  const rec = await control('GET', '/record?path=/token');
  assert.ok(rec.requests.some((e) => e.host === 'oauth2.googleapis.com' && e.status === 200));
});
