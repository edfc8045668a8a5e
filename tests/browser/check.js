// Opens the check page in headless Chromium (Debian's /usr/bin/chromium driven by
// playwright-core) and prints what the page logged. Exit code 0 when every check passed.
// Usage: node check.js PAGE_URL PROFILE_DIR
'use strict';
const path = require('path');
const { chromium } = require(path.join(__dirname, 'node', 'node_modules', 'playwright-core'));

async function main() {
  const [url, profile] = process.argv.slice(2);
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    ignoreHTTPSErrors: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-quic', '--ignore-certificate-errors', '--disable-dev-shm-usage'],
  });
  try {
    const page = context.pages()[0] || (await context.newPage());
    await page.goto(url);
    await page.waitForFunction(() => window.relayResult !== undefined, null, { timeout: 30000 });
    const result = await page.evaluate(() => window.relayResult);
    process.stdout.write(result.log.endsWith("\n") ? result.log : result.log + "\n");
    return result.ok ? 0 : 1;
  } finally {
    await context.close();
  }
}

main().then((code) => process.exit(code), (e) => { console.error('browser check: ' + e.message); process.exit(1); });
