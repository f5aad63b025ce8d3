// Drives headless Chromium against viewer pages written by quadstitch-view and checks
// from screenshots what a user would see. TAKE_DIR holds two fast-stitched frames with
// overlays and the batch report; PLAIN_DIR the same panoramas alone.
// Usage: node browser-test.mjs TAKE_DIR PLAIN_DIR SHOT_DIR NODE_MODULES
import { createRequire } from 'node:module';
import { createServer } from 'node:http';
import { readFile, writeFile, mkdir } from 'node:fs/promises';
import { extname, join, resolve, normalize } from 'node:path';
import { pathToFileURL } from 'node:url';
import assert from 'node:assert/strict';

const [takeDir, plainDir, shotDir, nodeModules, hostileDir] = process.argv.slice(2).map(p => resolve(p));
const { chromium } = createRequire(join(nodeModules, 'x.js'))('playwright-core');

const width = 1200, height = 700;
const started = Date.now();
let failures = 0;

async function check(name, body) {
    const t0 = Date.now();
    try {
        await body();
        console.log(`ok    ${name} (${((Date.now() - t0) / 1000).toFixed(1)} s)`);
    } catch (e) {
        failures += 1;
        console.log(`FAIL  ${name}: ${e.stack || e}`);
    }
}

// A static server for the take, as a user would run one.
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.png': 'image/png', '.json': 'application/json' };
const server = createServer(async (request, response) => {
    const path = normalize(join(takeDir, decodeURIComponent(new URL(request.url, 'http://x').pathname)));
    if (!path.startsWith(takeDir)) { response.writeHead(403).end(); return; }
    try {
        const body = await readFile(path.endsWith('/') ? join(path, 'index.html') : path);
        response.writeHead(200, { 'content-type': types[extname(path)] || 'application/octet-stream' }).end(body);
    } catch {
        response.writeHead(404).end();
    }
});
await new Promise(r => server.listen(0, '127.0.0.1', r));
const origin = `http://127.0.0.1:${server.address().port}`;

// WebGL on the software renderer; no background traffic.
const chromiumFlags = ['--headless=new', '--no-sandbox', '--disable-gpu', '--use-angle=swiftshader',
    '--enable-unsafe-swiftshader', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run', '--disable-default-apps'];
const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: [...chromiumFlags, '--allow-file-access-from-files'],
});
await mkdir(shotDir, { recursive: true });

// Decodes PNGs with the browser's own decoder on a page of its own, so nothing of
// the viewer page takes part in computing what is expected.
const decoder = await browser.newPage();
async function pixels(png) {
    const decoded = await decoder.evaluate(async b64 => {
        const image = new Image();
        image.src = `data:image/png;base64,${b64}`;
        await image.decode();
        const canvas = document.createElement('canvas');
        canvas.width = image.naturalWidth;
        canvas.height = image.naturalHeight;
        const context = canvas.getContext('2d');
        context.drawImage(image, 0, 0);
        // A base64 string crosses the DevTools connection far faster than an array of numbers.
        const bytes = context.getImageData(0, 0, canvas.width, canvas.height).data;
        let binary = '';
        for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
        return { width: canvas.width, height: canvas.height, data: btoa(binary) };
    }, png.toString('base64'));
    return { width: decoded.width, height: decoded.height, data: Buffer.from(decoded.data, 'base64') };
}
function meanColour(image, cx, cy, radius) {
    const sum = [0, 0, 0];
    let n = 0;
    for (let y = cy - radius; y <= cy + radius; ++y) {
        for (let x = cx - radius; x <= cx + radius; ++x) {
            const i = 4 * (y * image.width + ((x + image.width) % image.width));
            for (let c = 0; c < 3; ++c) sum[c] += image.data[i + c];
            ++n;
        }
    }
    return sum.map(s => s / n);
}
const distance = (a, b) => Math.max(...a.map((v, i) => Math.abs(v - b[i])));
// Mean absolute difference of two same-size images inside a rectangle.
function difference(a, b, box) {
    let sum = 0, n = 0;
    for (let y = box.y; y < box.y + box.height; ++y) {
        for (let x = box.x; x < box.x + box.width; ++x) {
            const i = 4 * (y * a.width + x);
            for (let c = 0; c < 3; ++c) sum += Math.abs(a.data[i + c] - b.data[i + c]);
            n += 3;
        }
    }
    return sum / n;
}

async function openViewer(url) {
    const page = await browser.newPage({ viewport: { width, height }, deviceScaleFactor: 1 });
    const errors = [];
    page.on('pageerror', e => errors.push(String(e)));
    await page.goto(url);
    await page.waitForFunction(() => window.quadstitchViewer && window.quadstitchViewer.ready && !window.quadstitchViewer.busy, null, { timeout: 30000 });
    return { page, errors };
}
// Waits until the viewer has drawn something newer than `shown`.
async function settled(page, shown) {
    await page.waitForFunction(n => {
        const v = window.quadstitchViewer;
        return (v.shown > n && !v.busy) || v.error;
    }, shown, { timeout: 30000 });
    const error = await page.evaluate(() => window.quadstitchViewer.error);
    assert.equal(error, null, `the viewer reported: ${error}`);
}
async function shot(page, name) {
    const png = await page.screenshot({ type: 'png' });
    await writeFile(join(shotDir, `${name}.png`), png);
    const image = await pixels(png);
    assert.equal(image.width, width);
    assert.equal(image.height, height);
    return image;
}
async function viewBox(page) {
    const r = await page.evaluate(() => {
        const b = document.getElementById('viewer').getBoundingClientRect();
        return { x: b.x, y: b.y, width: b.width, height: b.height };
    });
    // Leave out the navigation bar at the bottom.
    return { x: Math.round(r.x), y: Math.round(r.y), width: Math.round(r.width), height: Math.round(r.height) - 60 };
}
async function panorama(name) {
    return pixels(await readFile(join(takeDir, name)));
}

const pano0 = await panorama('0000000000.png');
const pano1 = await panorama('0000000001.png');

// The facts beside the view are the batch report's.
const report = JSON.parse(await readFile(join(takeDir, 'quadstitch-report.json'), 'utf8'));
async function checkFacts(page, frame) {
    const entry = report.frames.find(e => e.frame === frame);
    assert.ok(entry, `the report has no frame ${frame}`);
    const facts = await page.textContent('#facts');
    assert.match(facts, /fast \(hard seams\)/);
    assert.ok(facts.includes(`${entry.seconds.total.toFixed(1)} s`), `frame ${frame}: no total time in ${facts}`);
    assert.ok(facts.includes(`${(entry.coverage * 100).toFixed(1)} %`), `frame ${frame}: no coverage in ${facts}`);
}

// Forward is the centre column; the default view looks there.
async function checkForward(page, image, pano, label) {
    const box = await viewBox(page);
    const centre = meanColour(image, Math.round(box.x + box.width / 2), Math.round(box.y + (box.height + 60) / 2), 2);
    const forward = meanColour(pano, pano.width / 2, pano.height / 2, 1);
    const elsewhere = [0, pano.width / 4, (3 * pano.width) / 4].map(x => meanColour(pano, x, pano.height / 2, 1));
    assert.ok(distance(centre, forward) <= 24,
        `${label}: view centre ${centre.map(Math.round)} is not the forward colour ${forward.map(Math.round)}`);
    // The test means something only if forward looks unlike the other directions.
    const unlike = elsewhere.filter(c => distance(c, forward) > 48);
    assert.ok(unlike.length >= 1, `${label}: the panorama looks the same in every direction`);
    for (const c of unlike) assert.ok(distance(centre, c) > 24, `${label}: view centre also matches another direction`);
}

await check('served page: draws the forward direction, steps frames, switches overlays', async () => {
    const { page, errors } = await openViewer(`${origin}/index.html`);
    const first = await shot(page, 'frame0');
    await checkForward(page, first, pano0, 'frame 0');
    const box = await viewBox(page);
    assert.match(await page.textContent('#frame-label'), /Frame 0 .*1 of 2/);
    await checkFacts(page, 0);
    // The frame the batch could not stitch is named with its reason.
    assert.match(await page.textContent('#not-in-take'), /frame 2: failed \(.+\)/);

    // The right arrow steps to frame 1: a different panorama on screen, its facts from the report.
    let shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.keyboard.press('ArrowRight');
    await settled(page, shown);
    const second = await shot(page, 'frame1');
    assert.match(await page.textContent('#frame-label'), /Frame 1 .*2 of 2/);
    await checkForward(page, second, pano1, 'frame 1');
    assert.ok(difference(first, second, box) > 3, 'stepping to the next frame did not change the view');
    await checkFacts(page, 1);

    // The seam overlay changes the pixels; back to none restores them.
    shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.check('#overlay-seams');
    await settled(page, shown);
    const seams = await shot(page, 'frame1-seams');
    assert.ok(difference(second, seams, box) > 8, 'the seam overlay did not change the view');
    // Frame 1's forward camera paints the centre in its overlay colour (orange).
    const centre = meanColour(seams, Math.round(box.x + box.width / 2), Math.round(box.y + (box.height + 60) / 2), 2);
    assert.ok(centre[0] > centre[2] + 40, `the centre under the seam overlay is not tinted orange: ${centre.map(Math.round)}`);
    assert.match(await page.textContent('#legend'), /forward/);

    shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.check('#overlay-depth');
    await settled(page, shown);
    await shot(page, 'frame1-depth');
    assert.match(await page.textContent('#legend'), /\d+(\.\d+)? m/);

    shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.check('#overlay-none');
    await settled(page, shown);
    const plain = await shot(page, 'frame1-again');
    assert.ok(difference(second, plain, box) < 1.5, 'switching the overlay off did not restore the view');

    // Left arrow goes back to frame 0.
    shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.keyboard.press('ArrowLeft');
    await settled(page, shown);
    assert.ok(difference(first, await shot(page, 'frame0-again'), box) < 1.5, 'stepping back did not show frame 0 again');
    assert.deepEqual(errors, []);
    await page.close();
});

await check('page without a report opened from a file: draws the forward direction, facts from the file', async () => {
    const { page, errors } = await openViewer(pathToFileURL(join(plainDir, 'index.html')).href);
    await checkForward(page, await shot(page, 'file-frame0'), pano0, 'file frame 0');
    const facts = await page.textContent('#facts');
    assert.match(facts, /1024 × 512/);
    assert.match(facts, /fast \(hard seams\)/);
    assert.match(facts, /none in this folder/);
    // Overlays are offered only where their pictures exist.
    assert.equal(await page.isDisabled('#overlay-seams'), true);
    assert.deepEqual(errors, []);
    await page.close();
});

await check('page of a hostile folder: huge report, foreign colours and keys, a non-image', async () => {
    const page = await browser.newPage({ viewport: { width, height }, deviceScaleFactor: 1 });
    const errors = [];
    const outside = [];
    page.on('pageerror', e => errors.push(String(e)));
    page.on('request', r => { if (!/^(file|data|blob):/.test(r.url())) outside.push(r.url()); });
    await page.goto(pathToFileURL(join(hostileDir, 'index.html')).href);
    await page.waitForFunction(() => window.quadstitchViewer && window.quadstitchViewer.ready && !window.quadstitchViewer.busy, null, { timeout: 60000 });
    // 130,000 report entries, two frames in the folder: a bounded list and a count.
    assert.match(await page.textContent('#not-in-take'), /frame 1: ok[\s\S]*and 129798 more frames of the report/);
    let shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.check('#overlay-seams');
    await settled(page, shown);
    const swatches = await page.$$eval('#legend .swatch', list => list.map(s => s.getAttribute('style')));
    assert.deepEqual(swatches, ['background:#00ff00', 'background:#fff']);
    shown = await page.evaluate(() => window.quadstitchViewer.shown);
    await page.check('#overlay-depth');
    await settled(page, shown);
    assert.match(await page.textContent('#legend'), /1\.00 m/);
    assert.match(await page.$eval('#legend .scale', s => s.getAttribute('style')), /^background:linear-gradient/);
    // The non-image is named, not shown as "[object Event]".
    await page.check('#overlay-none');
    await page.keyboard.press('ArrowRight');
    await page.waitForFunction(() => window.quadstitchViewer.error, null, { timeout: 30000 });
    assert.match(await page.textContent('#message'), /cannot show 0000000003\.png/);
    assert.deepEqual(outside, []);
    assert.deepEqual(errors, []);
    await page.close();
});

await check('page opened from a file in a browser that refuses file scripts: says what to do', async () => {
    const strict = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumFlags });
    try {
        const page = await strict.newPage({ viewport: { width, height } });
        await page.goto(pathToFileURL(join(plainDir, 'index.html')).href);
        // Opened from a file, the page says at once how to serve it, whatever the browser.
        assert.match(await page.textContent('#panel'), /opened from a file|did not start/);
        assert.match(await page.textContent('#panel'), /--serve/);
        // Well before the page's own fallback timer: the failed module load itself tells.
        await page.waitForFunction(() => /did not start/.test(document.getElementById('panel').textContent), null, { timeout: 5000 });
        assert.match(await page.textContent('#panel'), /http\.server .*--directory .*plain 8000/);
    } finally {
        await strict.close();
    }
});

await browser.close();
server.close();
console.log(`${failures ? 'FAILED' : 'passed'} in ${((Date.now() - started) / 1000).toFixed(1)} s`);
process.exit(failures ? 1 : 0);
