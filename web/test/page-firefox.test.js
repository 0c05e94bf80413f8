// The page in Debian's Firefox ESR, headless, through WebDriver BiDi: it
// loads the engine and the demo sound and draws them with no script error.
// Firefox starts no audio where it finds no output device (as here): Play
// must then say so rather than hang.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';
import { serve } from '../serve.js';
import { launch, open } from './page-browsers.js';
import { webDir } from './support.js';

const WAIT = { timeout: 30000, polling: 100 };

describe('the page in Firefox ESR', () => {
  let server, browser, page, errors;

  before(async () => {
    const served = await serve(webDir, { port: 0 });
    server = served.server;
    browser = await launch('firefox');
    ({ page, errors } = await open(browser.browser, served.url));
  });

  after(async () => {
    await browser?.close();
    server?.close();
  });

  it('loads the engine and the demo sound with no script error, and plays or says why not', async () => {
    await page.waitForFunction(() => document.getElementById('sound-name').textContent.startsWith('demo sound'), WAIT);
    assert.match(await page.$eval('#console', (e) => e.textContent), /vorn~ 1\.0\.0: granular synthesis of a buffer~/);
    const inked = await page.$eval('#wave', (c) => {
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 3; i < d.length; i += 4) if (d[i]) ++n;
      return n;
    });
    assert.ok(inked > 1000, `waveform pixels: ${inked}`);
    await page.click('#play');
    await page.waitForFunction(() => document.body.dataset.audio === 'running' ||
      /has not started sound output/.test(document.getElementById('message').textContent), WAIT);
    assert.deepEqual(errors, []);
  });
});
