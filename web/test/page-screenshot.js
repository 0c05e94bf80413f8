// The README's picture of the page: the demo sound playing through the
// Thicken preset, its grain cloud drawn. make web-screenshot runs it.
//   node test/page-screenshot.js OUT.png
import { serve } from '../serve.js';
import { launch, open } from './page-browsers.js';
import { webDir } from './support.js';

const out = process.argv[2];
if (!out) {
  console.error('usage: node test/page-screenshot.js OUT.png');
  process.exit(2);
}
const { server, url } = await serve(webDir, { port: 0 });
const chromium = await launch('chromium');
try {
  const { page, errors } = await open(chromium.browser, url);
  await page.setViewport({ width: 1100, height: 820 });
  await page.waitForFunction(() => document.getElementById('sound-name').textContent.startsWith('demo sound'));
  await page.click('#play');
  await page.click('[data-preset=thicken]');
  await page.focus('#position');
  for (const key of ['Home', 'PageUp', 'PageUp', 'PageUp']) await page.keyboard.press(key);
  // Enough snapshots for every grain to have been seen on its way.
  const seen = await page.evaluate(() => vornPage.reports);
  await page.waitForFunction((n) => vornPage.reports > n + 100, {}, seen);
  await page.evaluate(() => document.activeElement.blur());
  await page.screenshot({ path: out, fullPage: true });
  if (errors.length) throw new Error(errors.join('\n'));
  console.log(`page-screenshot: ${out}`);
} finally {
  await chromium.close();
  server.close();
}
