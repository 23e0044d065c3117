// Browser test of the viewer page written by `drapeon view`.
//
//   node viewer.test.mjs --page OUT/viewer.html --out OUT --object Sheet
//                        --screenshot FILE.png [--shots NAME=FILE.png ...]
//                        [--check]
//
// With --check, on the page of one run: the page loads without errors, the
// cloth is drawn (the canvas is not blank) and the picture changes when the
// slider moves, the viewer plays the positions of the run's OBJ files, and
// the run's .glb loads in three.js's GLTFLoader and plays the same
// positions. Always: a screenshot of the last frame into --screenshot.
// Exits non-zero on any failure.
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const viewerDir = path.resolve(here, '../../viewer');
// The browser driver and the bundler come from the viewer's npm packages.
const require = createRequire(path.join(viewerDir, 'package.json'));
const { chromium } = require('playwright-core');
const { build } = require('esbuild');

function options() {
  const o = { check: false };
  const args = process.argv.slice(2);
  for (let i = 0; i < args.length; i++) {
    if (args[i] === '--check') o.check = true;
    else o[args[i].replace(/^--/, '')] = args[++i];
  }
  for (const required of ['page', 'out', 'object', 'screenshot'])
    if (!o[required]) throw new Error(`missing --${required}`);
  return o;
}

/** World positions of the "v" lines of an OBJ file. */
function objPoints(file) {
  const points = [];
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    if (line.startsWith('v ')) points.push(line.trim().split(/\s+/).slice(1, 4).map(Number));
  }
  return points;
}

let failures = 0;
function check(ok, message) {
  if (ok) console.log(`ok   ${message}`);
  else { console.log(`FAIL ${message}`); failures++; }
}

function close(a, b, tolerance) {
  return a.length === b.length && a.every((v, i) => Math.abs(v - b[i]) <= tolerance * Math.max(1, Math.abs(b[i])));
}

async function canvasPicture(page) {
  return page.evaluate(() => {
    const source = document.querySelector('canvas');
    const copy = document.createElement('canvas');
    copy.width = source.width;
    copy.height = source.height;
    const context = copy.getContext('2d');
    context.drawImage(source, 0, 0);
    const pixels = context.getImageData(0, 0, copy.width, copy.height).data;
    const background = [pixels[0], pixels[1], pixels[2]];
    let drawn = 0;
    let hash = 0;
    for (let i = 0; i < pixels.length; i += 4) {
      if (Math.abs(pixels[i] - background[0]) + Math.abs(pixels[i + 1] - background[1]) + Math.abs(pixels[i + 2] - background[2]) > 24) drawn++;
      hash = (hash * 31 + pixels[i] + 7 * pixels[i + 1] + 13 * pixels[i + 2]) >>> 0;
    }
    return { drawn: drawn / (pixels.length / 4), hash };
  });
}

async function setSlider(page, frame) {
  await page.evaluate((f) => {
    const slider = document.getElementById('slider');
    slider.value = String(f);
    slider.dispatchEvent(new Event('input'));
  }, frame);
}

async function main() {
  const o = options();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'drapeon-chromium-'));
  // A fresh profile folder for every run.
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--enable-unsafe-swiftshader'],
    viewport: { width: 1024, height: 700 },
  });
  try {
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    // The page must not reach the network.
    await page.route(/^(?!file:|data:)/, (route) => { errors.push(`network request ${route.request().url()}`); route.abort(); });

    await page.goto(pathToFileURL(path.resolve(o.page)).href);
    await page.waitForFunction(() => window.drapeonViewer !== undefined, null, { timeout: 30000 });
    const ready = await page.evaluate(() => window.drapeonViewer.ready);
    check(ready, 'the viewer starts');
    if (!ready) throw new Error(await page.evaluate(() => window.drapeonViewer.error));
    const header = await page.evaluate(() => window.drapeonViewer.header);
    const last = header.frameCount - 1;

    if (o.check) {
      // The cloth is drawn, and the picture follows the slider.
      const first = await canvasPicture(page);
      check(first.drawn > 0.01, `frame ${header.firstFrame} is drawn (${(first.drawn * 100).toFixed(1)} % of the canvas)`);
      await setSlider(page, last);
      const end = await canvasPicture(page);
      check(end.drawn > 0.01 && end.hash !== first.hash, 'the picture changes when the slider moves to the last frame');
      check((await page.textContent('#counter')).includes(`Frame ${header.firstFrame + last}`), 'the frame counter follows the slider');

      // The first view frames the guides as well as the meshes (it used to
      // frame only the meshes, cutting the cloth's guide off at the top).
      for (const f of [0, last]) {
        const out = await page.evaluate((frame) => window.drapeonViewer.guidesOutOfView(frame), f);
        check(out === 0, `every guide of frame ${header.firstFrame + f} is in the first view (${out} points outside)`);
      }

      // Play advances the frames.
      await setSlider(page, 0);
      await page.click('#play');
      await page.waitForFunction(() => window.drapeonViewer.frame() > 2, null, { timeout: 10000 });
      await page.click('#play');
      check(true, 'Play advances the frames');

      // The viewer plays the positions of the run's OBJ files.
      const names = await page.evaluate(() => window.drapeonViewer.meshNames());
      const meshIndex = names.indexOf(o.object);
      check(meshIndex >= 0, `the viewer holds ${o.object}`);
      const frames = [0, Math.floor(last / 2), last];
      for (const f of frames) {
        const obj = objPoints(path.join(o.out, `${o.object}.${String(header.firstFrame + f).padStart(4, '0')}.obj`));
        const shown = await page.evaluate(([m, frame]) => window.drapeonViewer.positions(m, frame), [meshIndex, f]);
        const expected = obj.flat();
        check(close(shown, expected, 1e-5), `viewer frame ${header.firstFrame + f} equals the OBJ (${obj.length} points)`);
      }

      // Guides can be switched off.
      if (header.guideGroups.length > 0) {
        await setSlider(page, last);
        const withGuides = await canvasPicture(page);
        await page.click('#guides-all');
        const without = await canvasPicture(page);
        check(withGuides.hash !== without.hash, `switching the guides off changes the picture (${header.guideGroups.length} objects draw guides)`);
        await page.click('#guides-all');
      }

      // The .glb plays the same positions in three.js's glTF loader.
      const probe = await build({
        entryPoints: [path.join(here, 'glbProbe.js')], bundle: true, format: 'iife', write: false,
        nodePaths: [path.join(viewerDir, 'node_modules')], logLevel: 'warning',
      });
      await page.addScriptTag({ content: probe.outputFiles[0].text });
      const glbFile = fs.readdirSync(o.out).find((f) => f.endsWith('.glb'));
      check(glbFile !== undefined, 'the run wrote a .glb');
      const glb = fs.readFileSync(path.join(o.out, glbFile)).toString('base64');
      const objFirst = objPoints(path.join(o.out, `${o.object}.${String(header.firstFrame).padStart(4, '0')}.obj`));
      const sample = [0, Math.floor(objFirst.length / 3), Math.floor(objFirst.length / 2), objFirst.length - 1];
      // A moment just after each frame's time: the frames are steps.
      const times = frames.map((f) => (f + 0.01) / header.fps);
      const result = await page.evaluate(([data, name, t, s]) => window.probeGlb(data, name, t, s), [glb, o.object, times, sample]);
      check(result.animations === 1, `the .glb loads with one animation (objects: ${result.objects.join(', ')})`);
      frames.forEach((f, k) => {
        const obj = objPoints(path.join(o.out, `${o.object}.${String(header.firstFrame + f).padStart(4, '0')}.obj`));
        const expected = sample.map((i) => obj[i]).flat();
        check(close(result.samples[k].flat(), expected, 1e-4), `glTF frame ${header.firstFrame + f} plays the OBJ positions`);
      });
    }

    await setSlider(page, last);
    await page.screenshot({ path: o.screenshot });
    console.log(`screenshot: ${o.screenshot}`);
    check(errors.length === 0, `no page errors${errors.length ? `: ${errors.join(' | ')}` : ''}`);
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().then(() => {
  if (failures > 0) { console.log(`${failures} check(s) failed`); process.exit(1); }
}, (e) => { console.log(`FAIL ${e.stack || e}`); process.exit(1); });
