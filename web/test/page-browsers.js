// Debian's Chromium and Firefox ESR under puppeteer-core, never a browser
// of puppeteer's own, each with a fresh profile: the machine has no network,
// so everything that would reach for one is off. Unlike the module's
// tests, the page's play sound without a click first, as a user's page does
// after one.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import { launch as launchChromium } from './browser/chromium.js';

export const FIREFOX = process.env.VORN_FIREFOX ?? '/usr/bin/firefox-esr';

// Resolves to { browser, close }; close also removes the profile.
export async function launch(kind) {
  if (kind !== 'firefox') return launchChromium(['--autoplay-policy=no-user-gesture-required']);
  const profile = mkdtempSync(join(tmpdir(), `vorn-${kind}-`));
  const browser = await puppeteer.launch({
    browser: 'firefox',
    executablePath: FIREFOX,
    headless: true,
    userDataDir: profile,
    extraPrefsFirefox: {
      'media.autoplay.default': 0, // allowed
      'media.autoplay.block-webaudio': false,
      'network.proxy.type': 0,
      'app.update.disabledForTesting': true,
    },
  });
  return {
    browser,
    close: async () => {
      await browser.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// A page at `url` whose script errors and console errors are collected.
export async function open(browser, url) {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(`script error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console error: ${m.text()}`); });
  await page.setViewport({ width: 1200, height: 900 });
  await page.goto(url, { waitUntil: 'load' });
  return { page, errors };
}
