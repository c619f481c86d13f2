// The example server's pages in headless Chromium: a listing's links lead to their files, an error page
// renders, a sound seeks with a range request. Usage: node browser.js NODE_MODULES JAVA CLASSPATH LIBRARY native|jdk
'use strict';
const [modules, java, classpath, library, transport] = process.argv.slice(2);
const assert = require('assert'), fs = require('fs'), os = require('os'), child = require('child_process');
const { chromium } = require(`${modules}/playwright-core`);

const root = fs.mkdtempSync(`${os.tmpdir()}/browser-`), port = `${child.execFileSync(`${__dirname}/../../scripts/free-port`)}`.trim();
const files = { 'page.html': '<title>A page</title>', 'odd #1?%& <name> café.txt': 'odd\n' };
for (const [name, text] of Object.entries(files)) fs.writeFileSync(`${root}/${name}`, text);
fs.mkdirSync(`${root}/media`);
fs.writeFileSync(`${root}/media/player.html`, '<audio src="tone.wav" onloadedmetadata="this.currentTime = 500" onseeked="document.title = this.currentTime">');
// Ten minutes of silence, 16-bit stereo at 48 kHz (192000 bytes a second): a WAV head, then zeros that take no room on disk.
fs.writeFileSync(`${root}/media/tone.wav`, Buffer.from('UklGRiTQ3QZXQVZFZm10IBAAAAABAAIAgLsAAADuAgAEABAAZGF0YQDQ3QY=', 'base64'));
fs.truncateSync(`${root}/media/tone.wav`, 44 + 600 * 192000);

const server = child.spawn(java, ['-Xcheck:jni', '--enable-native-access=ALL-UNNAMED', `-Dtalvo.library=${library}`, '-cp', classpath,
  'fileserver.FileServer', `--transport=${transport}`, '--root', root, '--port', port]);
let said = '';
const serving = new Promise((ok, fail) => {
  for (const out of [server.stdout, server.stderr]) out.on('data', (d) => (said += d).includes('fileserver: serving') && ok());
  server.on('exit', (code) => fail(new Error(`the server exited (${code}): ${said}`)));
});
process.on('exit', () => { server.kill('SIGKILL'); fs.rmSync(root, { recursive: true }); });
setTimeout(() => { console.error('FAIL: no result within 60 s'); process.exit(1); }, 60000).unref();

(async () => {
  await serving;
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'] }) // a new profile, no sandbox
    .catch((e) => { console.log(`skip: Chromium does not start: ${e.message.split('\n')[0]}`); process.exit(77); });
  const page = await browser.newPage(), url = `http://127.0.0.1:${port}/`;
  page.setDefaultTimeout(15000);
  // Each file's link, as the browser resolves it, fetches the file; a directory's link leads to its listing.
  await page.goto(url);
  const links = await page.$$eval('a', (as) => Promise.all(as.map(async (a) => [a.textContent, await (await fetch(a.href)).text()])));
  assert.deepStrictEqual(links.filter(([name]) => name !== 'media/'), Object.entries(files).sort());
  await page.click('text=media/');
  assert.strictEqual(await page.title(), 'Index of /media/');
  // The player seeks far into the sound, which asks for the bytes from about there: a 206 that starts there.
  const far = page.waitForResponse((r) => r.url().endsWith('/tone.wav') && r.status() === 206
    && (/^bytes (\d+)-/.exec(r.headers()['content-range']) || [])[1] > 499 * 192000);
  await page.click('text=player.html');
  await Promise.all([far, page.waitForFunction(() => document.title === '500')]);
  const missing = await page.goto(`${url}nothing`);
  assert.deepStrictEqual([missing.status(), await page.title(), await page.textContent('h1')], [404, '404 Not Found', '404 Not Found']);
  await browser.close();
  assert.ok(!/WARNING in native method|JNI (WARNING|ERROR)/.test(said), said);
  console.log(`ok   the pages in Chromium (${transport} transport)`);
  process.exit(0);
})().catch((e) => { console.error(`FAIL ${e.stack}`); process.exit(1); });
