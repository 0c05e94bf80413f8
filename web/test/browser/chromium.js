// Debian's Chromium, headless, through puppeteer-core: no browser of its
// own is downloaded. The machine has no network; every switch that would
// reach for one is off.
import puppeteer from 'puppeteer-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const CHROMIUM = process.env.VORN_CHROMIUM ?? '/usr/bin/chromium';

// `args`: more switches, e.g. --autoplay-policy=no-user-gesture-required.
export async function launch(args = []) {
  const profile = mkdtempSync(join(tmpdir(), 'vorn-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`, ...args,
    ],
  });
  const close = async () => {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  };
  return { browser, close };
}

// A page of the test server with the harness loaded; its console's errors
// and uncaught exceptions are collected.
export async function harnessPage(browser, serverUrl) {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    if (m.type() === 'error') problems.push(`console: ${m.text()}`);
  });
  await page.goto(new URL('test/page.html', serverUrl).href);
  await page.waitForFunction('window.harnessReady === true');
  return { page, problems };
}
