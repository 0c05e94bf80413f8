// The page in headless Chromium, as a user plays it: the demo sound plays,
// the grain cloud is drawn and follows the position, the scan moves it, the
// presets reach the engine, a recording downloads as a WAV with sound in
// it, bad files and values get their messages and leave the sound playing,
// and every control has a name and is reached from the keyboard.
import assert from 'node:assert/strict';
import { mkdtempSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, describe, it } from 'node:test';
import { serve } from '../serve.js';
import { launch, open } from './page-browsers.js';
import { readWav, webDir, writeWav } from './support.js';

const WAIT = { timeout: 20000, polling: 50 };

// What the grain canvas holds: its ink and where the ink's middle lies, as
// a fraction of the width. Put in the page as inkOfCloud().
function inkOfCloud() {
  const c = document.getElementById('grains');
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let ink = 0, x = 0;
  for (let i = 3; i < d.length; i += 4) {
    ink += d[i];
    x += d[i] * (((i - 3) / 4) % c.width);
  }
  return { ink, centre: ink ? x / ink / c.width : null };
}

describe('the page in Chromium', () => {
  let server, browser, page, errors, files;

  before(async () => {
    const served = await serve(webDir, { port: 0 });
    server = served.server;
    browser = await launch('chromium');
    ({ page, errors } = await open(browser.browser, served.url));
    files = mkdtempSync(join(tmpdir(), 'vorn-page-'));
    await page.waitForFunction(() => document.getElementById('sound-name').textContent.startsWith('demo sound'), WAIT);
    await page.evaluate(`globalThis.inkOfCloud = ${inkOfCloud}`);
  });

  after(async () => {
    await browser?.close();
    server?.close();
    if (files) rmSync(files, { recursive: true, force: true });
  });

  const waitForSound = () => page.waitForFunction(() => document.getElementById('level').value > -45, WAIT);

  it('names every control and reaches each from the keyboard', async () => {
    const controls = [];
    for (const handle of await page.$$('button, input, select, a[href], [tabindex], summary')) {
      const key = await handle.evaluate((e) => (e.disabled || e.closest('[hidden]') ? null : e.id || e.textContent.trim()));
      if (!key) continue;
      const node = await page.accessibility.snapshot({ root: handle, interestingOnly: false });
      assert.ok(node?.name?.trim(), `${key} has an accessible name`);
      controls.push(key);
    }
    assert.ok(controls.length >= 20, `${controls.length} controls`);
    const reached = new Set();
    await page.evaluate(() => document.activeElement?.blur());
    for (let i = 0; i < controls.length * 2 && reached.size < controls.length; ++i) {
      await page.keyboard.press('Tab');
      reached.add(await page.evaluate(() => document.activeElement.id || document.activeElement.textContent.trim()));
    }
    assert.deepEqual(controls.filter((c) => !reached.has(c)), [], 'controls the Tab key never reached');
  });

  it('plays the demo sound, and stops and plays again from the space bar', async () => {
    await page.click('#play');
    await page.waitForFunction(() => vornPage.context.state === 'running', WAIT);
    await waitForSound();
    assert.equal(await page.$eval('#play', (b) => b.getAttribute('aria-pressed')), 'true');
    await page.focus('#position');
    for (const state of ['suspended', 'running']) {
      await page.keyboard.press('Space');
      await page.waitForFunction((s) => document.body.dataset.audio === s, WAIT, state);
    }
    await waitForSound();
  });

  it('draws the grain cloud where the position is, by keyboard and by drag', async () => {
    await page.click('[data-preset=freeze]');
    await page.focus('#position');
    // Keys faster than the worklet answers: every step counts.
    await page.keyboard.press('Home');
    for (let i = 0; i < 10; ++i) await page.keyboard.press('ArrowRight');
    const seen = await page.evaluate(() => vornPage.reports);
    await page.waitForFunction((n) => vornPage.reports > n + 10, WAIT, seen);
    const { now, max } = await page.$eval('#position', (e) => ({ now: +e.getAttribute('aria-valuenow'), max: +e.getAttribute('aria-valuemax') }));
    assert.equal(now, Math.round(max / 10), 'ten steps of a hundredth');
    // The end is the end, not the start it wraps round to.
    await page.keyboard.press('End');
    const atEnd = await page.evaluate(() => vornPage.reports);
    await page.waitForFunction((n) => vornPage.reports > n + 3, WAIT, atEnd);
    assert.equal(await page.$eval('#position', (e) => +e.getAttribute('aria-valuenow')), max);
    for (const [keys, where] of [[['Home', 'PageUp', 'PageUp'], 0.2], [['End', 'PageDown', 'PageDown'], 0.8]]) {
      for (const key of keys) await page.keyboard.press(key);
      await page.waitForFunction((where) => {
        const { ink, centre } = inkOfCloud();
        return ink > 5000 && Math.abs(centre - where) < 0.05;
      }, WAIT, where);
    }
    const box = await (await page.$('#stage')).boundingBox();
    const y = box.y + box.height / 2;
    await page.mouse.move(box.x + box.width * 0.3, y);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width * 0.5, y, { steps: 5 });
    await page.mouse.up();
    await page.waitForFunction(() => Math.abs(inkOfCloud().centre - 0.5) < 0.05, WAIT);
    const dragged = await page.$eval('#position', (e) => +e.getAttribute('aria-valuenow'));
    assert.ok(Math.abs(dragged / max - 0.5) < 0.01, `position ${dragged} of ${max}`);
  });

  it('scans by itself: held at 0, forwards and backwards across the ends', async () => {
    const reports = () => page.evaluate(() => vornPage.reports);
    const position = () => page.$eval('#position', (e) => +e.getAttribute('aria-valuenow'));
    const setScan = async (text) => {
      await page.click('#scan-value', { clickCount: 3 });
      await page.keyboard.type(text);
      await page.keyboard.press('Enter');
    };
    const reportsAfter = async (count) => {
      const seen = await reports();
      await page.waitForFunction((n, count) => vornPage.reports > n + count, WAIT, seen, count);
    };
    await setScan('0');
    await reportsAfter(3); // past any report sent before the change
    const held = await position();
    await reportsAfter(10);
    assert.equal(await position(), held, 'scan 0 freezes the position');
    // Backwards from the middle: through 0 and on from the end.
    await setScan('-2');
    await page.waitForFunction(() => +document.getElementById('position').getAttribute('aria-valuenow') < 1000, WAIT);
    await page.waitForFunction(() => +document.getElementById('position').getAttribute('aria-valuenow') > 4000, WAIT);
    await setScan('2');
    await page.waitForFunction(() => +document.getElementById('position').getAttribute('aria-valuenow') < 1000, WAIT);
  });

  it('sets each preset on the controls and in the engine', async () => {
    for (const name of ['freeze', 'stretch', 'scrub', 'thicken']) {
      await page.click(`[data-preset=${name}]`);
      const shown = await page.evaluate(() => ({
        overlap: Number(document.getElementById('overlap').value),
        scan: Number(document.getElementById('scan-value').value),
        list: document.getElementById('list').value,
      }));
      const values = await page.evaluate(async (name) => (await import('./page/params.js')).PRESETS[name].values, name);
      assert.deepEqual(shown, { overlap: values.overlap, scan: values.scan, list: values.list }, name);
      await page.waitForFunction(async (n) => (await vornPage.node.grains()).length === 2 ** n, WAIT, values.overlap);
    }
    // Thicken's list: grains at the octave below and the fifth above too.
    await page.waitForFunction(async () => {
      const speeds = (await vornPage.node.grains()).map((g) => g.speed);
      return speeds.some((s) => s < 0.6) && speeds.some((s) => s > 1.4 && s < 1.6);
    }, WAIT);
  });

  it('records what plays and downloads it as a WAV with sound in it', async () => {
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: files, eventsEnabled: true });
    const done = new Promise((resolve) => cdp.on('Browser.downloadProgress', (e) => { if (e.state !== 'inProgress') resolve(e.state); }));
    await page.click('#record');
    await page.waitForFunction(() => vornPage.take?.chunks.length >= 6, WAIT);
    await page.click('#record');
    await page.waitForSelector('#download:not([hidden])', WAIT);
    await page.click('#download');
    assert.equal(await done, 'completed');
    const [name] = readdirSync(files).filter((f) => f.endsWith('.wav'));
    assert.equal(name, 'vorn-take-1.wav');
    const samples = readWav(join(files, name));
    const rate = await page.evaluate(() => vornPage.context.sampleRate);
    assert.ok(samples.length >= 6 * 8192 && samples.length / rate < 30, `${samples.length} frames`);
    let energy = 0;
    for (const s of samples) {
      assert.ok(Number.isFinite(s));
      energy += s * s;
    }
    assert.ok(Math.sqrt(energy / samples.length) > 0.005, `the take is not silent: rms ${Math.sqrt(energy / samples.length)}, ${samples.length}`);
  });

  it('says why a file is refused, and the sound plays on', async () => {
    const rate = await page.evaluate(() => vornPage.context.sampleRate);
    const cases = [
      ['notes.txt', Buffer.from('a shopping list, not a sound\n'), /“notes.txt” could not be decoded/],
      ['empty.wav', Buffer.alloc(0), /“empty.wav” is empty/],
      ['header.wav', null, /“header.wav” holds no samples|“header.wav” holds 0 samples/],
      ['one.wav', [0.5], /“one.wav” holds 1 sample: too short/],
      ['three.wav', [0.5, -0.5, 0.25], /“three.wav” holds 3 samples/],
    ];
    for (const [name, content, message] of cases) {
      const path = join(files, name);
      if (Buffer.isBuffer(content)) writeFileSync(path, content);
      else writeWav(path, [Float32Array.from(content ?? [])], rate); // at the context's rate: no resampling
      await (await page.$('#file')).uploadFile(path);
      await page.waitForFunction((m) => new RegExp(m).test(document.getElementById('message').textContent), WAIT, message.source);
      assert.match(await page.$eval('#sound-name', (e) => e.textContent), /^demo sound/);
    }
    await page.evaluate(() => vornPage.node.grains());
    await waitForSound();
    assert.deepEqual(errors, []);
  });

  it('says what is wrong with a typed value, keeps the last good one, and clears once put right', async () => {
    const cases = [
      ['#period-value', 'period', '5000', /Period: 5000 ms is out of range; it takes 2 to 2000 ms/],
      ['#jitter-value', 'jitter', 'lots', /Position jitter: “lots” is not a number/],
      ['#transposition-value', 'transposition', '-3000', /Transposition: -3000 cents is out of range/],
      ['#detune-value', 'detune', '', /Transposition jitter: type a number/],
      ['#list', 'list', '0 fifth 1200', /Transposition list: “fifth” is not a number of cents/],
      ['#list', 'list', '0 9000', /9000 cents is out of range/],
    ];
    for (const [field, key, text, message] of cases) {
      const before = await page.evaluate((k) => JSON.stringify(k === 'list' ? vornPage.list : vornPage.values[k]), key);
      await page.click(field, { clickCount: 3 });
      await page.keyboard.press('Backspace');
      await page.keyboard.type(text);
      await page.keyboard.press('Enter');
      await page.waitForFunction((m) => new RegExp(m).test(document.getElementById('message').textContent), WAIT, message.source);
      assert.equal(await page.$eval(field, (e) => e.getAttribute('aria-invalid')), 'true');
      const after = await page.evaluate((k) => JSON.stringify(k === 'list' ? vornPage.list : vornPage.values[k]), key);
      assert.equal(after, before, `${key} keeps its value`);
    }
    await page.click('#list', { clickCount: 3 });
    await page.keyboard.type('0 700');
    await page.keyboard.press('Enter');
    assert.deepEqual(await page.evaluate(() => vornPage.list), [0, 700]);
    for (const field of ['#period-value', '#jitter-value', '#transposition-value', '#detune-value']) {
      await page.click(field, { clickCount: 3 });
      await page.keyboard.type('50');
      await page.keyboard.press('Enter');
    }
    assert.equal(await page.$eval('#message', (e) => e.hidden), true, 'no message once every value is good');
    assert.equal(await page.evaluate(() => vornPage.values.period), 50);
    await waitForSound();
  });

  it('plays a sound file dropped on the waveform', async () => {
    await page.evaluate(async () => {
      const { encodeWav } = await import('./page/wav.js');
      const rate = 22050;
      const tone = Float32Array.from({ length: rate / 2 }, (_, i) => 0.5 * Math.sin((2 * Math.PI * 330 * i) / rate));
      const data = new DataTransfer();
      data.items.add(new File([encodeWav([tone], rate)], 'tone.wav', { type: 'audio/wav' }));
      document.getElementById('stage').dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
    });
    await page.waitForFunction(() => document.getElementById('sound-name').textContent.startsWith('tone.wav'), WAIT);
    assert.equal(await page.$eval('#position', (e) => e.getAttribute('aria-valuemax')), '500');
    await waitForSound();
    assert.deepEqual(errors, []);
  });
});
