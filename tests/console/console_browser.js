// Drives velquor-http's web console in Debian's chromium (playwright-core,
// no browser of its own) as an operator would, and fails on the first
// scenario that does not hold. Run by tests/http_console_browser_test.cc,
// which starts the engine, velquor-http and the webhook receiver and passes:
//   CONSOLE_URL      the daemon's base URL (http://127.0.0.1:PORT)
//   CONSOLE_ACCOUNT  an account with the console flag, CONSOLE_KEY its key
//   OTHER_ACCOUNT    an account without it, OTHER_KEY its key
//   RECEIVER_URL     the account's webhook receiver: POST /fix makes it
//                    answer 204 instead of 500, GET /state tells its calls
//   SEND_TO          the number to send the test message to
//   SCREENSHOT_DIR   where the screenshots go
//   CHROMIUM         the browser (default /usr/bin/chromium)
// Every wait is bounded; the output says which scenario passed or failed.
'use strict';
const path = require('path');
const { chromium } = require('playwright-core');

const env = (name) => {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set`);
  return value;
};
const base = env('CONSOLE_URL');
const account = env('CONSOLE_ACCOUNT');
const key = env('CONSOLE_KEY');
const receiverUrl = env('RECEIVER_URL');
const sendTo = env('SEND_TO');
const shots = env('SCREENSHOT_DIR');
const text = 'Hello from the console';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls `probe` until it returns true, at most `ms`; fails with what it
// returned (or raised) last.
async function until(what, ms, probe) {
  const end = Date.now() + ms;
  let last;
  for (;;) {
    try {
      last = await probe();
      if (last === true) return;
    } catch (error) {
      last = error.message.split('\n')[0];
    }
    if (Date.now() >= end) throw new Error(`${what}: not within ${ms / 1000} s (last seen: ${last})`);
    await sleep(250);
  }
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// The form fields of the page that have no label: neither <label> nor
// aria-label(ledby).
function unlabelled(page) {
  return page.evaluate(() =>
    [...document.querySelectorAll('input, select, textarea')]
      .filter((e) => !['hidden', 'submit', 'button', 'reset', 'image'].includes(e.type))
      .filter((e) => e.labels.length === 0 && !e.getAttribute('aria-label') && !e.getAttribute('aria-labelledby'))
      .map((e) => e.outerHTML));
}

async function expectLabels(page, labels) {
  check((await unlabelled(page)).length === 0, `fields without a label: ${await unlabelled(page)}`);
  for (const label of labels)
    check((await page.getByLabel(label, { exact: true }).count()) === 1, `no field labelled "${label}"`);
}

async function expectHeading(page, name) {
  await page.getByRole('heading', { name, exact: true, level: 1 }).waitFor();
}

// A table as rows of cell texts, the header row first.
function tableRows(table) {
  return table.evaluate((t) => [...t.rows].map((r) => [...r.cells].map((c) => c.innerText.replace(/\s+/g, ' ').trim())));
}

// The row of handset 1 in the Handsets table, by column name.
async function handsetOne(page) {
  const rows = await tableRows(page.getByRole('table', { name: 'Handsets', exact: true }));
  const header = rows[0];
  const row = rows.slice(1).find((cells) => /(^|\D)1$/.test(cells[0]));
  if (!row) return null;
  return Object.fromEntries(header.map((name, i) => [name, row[i]]));
}

async function receiverState() {
  const answer = await fetch(`${receiverUrl}/state`, { signal: AbortSignal.timeout(5000) });
  return answer.json();
}

const passed = [];
async function scenario(name, body) {
  const started = Date.now();
  try {
    await body();
  } catch (error) {
    console.log(`not ok - ${name}: ${error.message}`);
    throw error;
  }
  passed.push(name);
  console.log(`ok - ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
}

async function logIn(page, name, secret) {
  await page.goto(`${base}/console/login`);
  await page.getByLabel('Account', { exact: true }).fill(name);
  await page.getByLabel('API key', { exact: true }).fill(secret);
  await page.getByRole('button', { name: 'Log in', exact: true }).click();
  await page.waitForLoadState();
}

async function main() {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    // The tests run as root, where chromium's sandbox cannot start.
    args: ['--no-sandbox'],
    timeout: 60000,
  });
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 900 } });
    // Generous caps: a login checks the key with scrypt, on a machine that
    // may run other tests meanwhile.
    context.setDefaultTimeout(30000);
    context.setDefaultNavigationTimeout(60000);
    const page = await context.newPage();
    const nav = page.getByRole('navigation', { name: 'Console', exact: true });
    let messageId = null;

    await scenario('the console asks for a login, and refuses a wrong key and an account without the flag', async () => {
      await page.goto(`${base}/console/`);
      check(new URL(page.url()).pathname === '/console/login', `/console/ led to ${page.url()}`);
      await expectHeading(page, 'Log in');
      await expectLabels(page, ['Account', 'API key']);
      for (const [name, secret, refusal] of [
        [account, 'not-the-key', 'Wrong account or key'],
        [env('OTHER_ACCOUNT'), env('OTHER_KEY'), 'This account may not use the console'],
      ]) {
        await logIn(page, name, secret);
        await page.getByRole('alert').filter({ hasText: refusal }).waitFor();
        check((await nav.count()) === 0, `${name} got in with a wrong key or without the flag`);
      }
    });

    await scenario('logs in with the keyboard only (Tab, typing, Enter), with the secret part of the key', async () => {
      await page.goto(`${base}/console/login`);
      const field = page.getByLabel('Account', { exact: true });
      await until('Tab reaches the field "Account"', 10000, async () => {
        await page.keyboard.press('Tab');
        return field.evaluate((e) => e === document.activeElement);
      });
      await page.keyboard.type(account);
      await page.keyboard.press('Tab');
      check(
        await page.getByLabel('API key', { exact: true }).evaluate((e) => e === document.activeElement),
        'Tab from "Account" does not reach "API key"',
      );
      await page.keyboard.type(key.slice(key.indexOf('.') + 1));
      await page.keyboard.press('Enter');
      await page.waitForURL(`${base}/console/`);
      await expectHeading(page, 'Overview');
      for (const link of ['Overview', 'Messages', 'Send', 'Webhooks'])
        check((await nav.getByRole('link', { name: link, exact: true }).count()) === 1, `no link "${link}" in the nav`);
      check((await page.getByRole('button', { name: 'Log out', exact: true }).count()) === 1, 'no "Log out" button');
      const cookies = await context.cookies();
      check(cookies.length > 0, 'no session cookie');
      for (const cookie of cookies)
        check(
          cookie.httpOnly && cookie.sameSite === 'Strict' && cookie.path === '/console',
          `cookie ${cookie.name}: HttpOnly ${cookie.httpOnly}, SameSite ${cookie.sameSite}, Path ${cookie.path}`,
        );
    });

    await scenario('the overview shows handset 1 of the simulator as bound, the traffic chart and the engines', async () => {
      const table = page.getByRole('table', { name: 'Handsets', exact: true });
      const headers = (await tableRows(table))[0];
      for (const name of ['Handset', 'Driver', 'State', 'Signal', 'Last error', 'Queue', 'Sent/min', 'Failed/min',
        'Delivered/min'])
        check(headers.includes(name), `the Handsets table has no column "${name}" (it has: ${headers.join(', ')})`);
      let row = null;
      await until('handset 1 shows "bound"', 30000, async () => {
        row = await handsetOne(page);
        if (row && /\bbound\b/.test(row.State)) return true;
        await page.reload();
        return JSON.stringify(row);
      });
      check(/simulator/i.test(row.Driver), `handset 1's driver reads "${row.Driver}"`);
      await page.getByRole('heading', { name: 'Traffic, last hour', exact: true }).waitFor();
      check((await page.locator('svg[role="img"][aria-label]').count()) >= 1, 'no chart (svg role=img with aria-label)');
      await page.getByRole('heading', { name: 'Engines', exact: true }).waitFor();
    });

    await scenario('a message sent from the form reaches "delivered" on its page', async () => {
      await nav.getByRole('link', { name: 'Send', exact: true }).click();
      await expectHeading(page, 'Send');
      await expectLabels(page, ['Number', 'Text', 'Handset']);
      const handset = page.getByLabel('Handset', { exact: true });
      const options = await handset.evaluate((s) => [...s.options].map((o) => o.textContent.trim()));
      check(options.includes('Any') && options.includes('Handset 1'), `the Handset options: ${options.join(', ')}`);
      await page.getByLabel('Number', { exact: true }).fill(sendTo);
      await page.getByLabel('Text', { exact: true }).fill(text);
      await handset.selectOption({ label: 'Handset 1' });
      await page.screenshot({ path: path.join(shots, 'send.png'), fullPage: true });
      await page.getByRole('button', { name: 'Send', exact: true }).click();
      await page.waitForURL(/\/console\/messages\/\d+$/);
      messageId = Number(page.url().match(/(\d+)$/)[1]);
      await expectHeading(page, `Message ${messageId}`);
      await page.getByRole('table', { name: 'History', exact: true }).waitFor();
      const status = page.locator('#status');
      check((await status.getAttribute('role')) === 'status', 'the status element is not role=status');
      // No reload: the page's script follows the status.
      await until('the status reads "delivered" without a reload', 60000, async () => {
        const seen = await status.textContent();
        return /\bdelivered\b/.test(seen) || seen.trim();
      });
    });

    await scenario('the message list finds it by its number and status, and not by another number', async () => {
      await nav.getByRole('link', { name: 'Messages', exact: true }).click();
      await expectHeading(page, 'Messages');
      await expectLabels(page, ['Search', 'Status']);
      const link = () =>
        page.getByRole('table', { name: 'Outgoing messages', exact: true }).locator(`a[href$="/console/messages/${messageId}"]`);
      const search = async (what, status) => {
        await page.getByLabel('Search', { exact: true }).fill(what);
        await page.getByLabel('Status', { exact: true }).selectOption(status);
        await page.getByRole('button', { name: 'Search', exact: true }).click();
        await page.waitForLoadState();
        await expectHeading(page, 'Messages');
        return link().count();
      };
      check((await search('+4930999999999', 'any')) === 0, 'another number lists the message');
      check((await search(sendTo, 'failed')) === 0, 'the status "failed" lists the delivered message');
      check((await search(sendTo, 'delivered')) === 1, 'the number with status "delivered" does not list it');
      check((await search(sendTo, 'any')) === 1, 'its number does not list it');
      await page.getByRole('table', { name: 'Received messages', exact: true }).waitFor();
      await page.screenshot({ path: path.join(shots, 'messages.png'), fullPage: true });
      await link().click();
      await expectHeading(page, `Message ${messageId}`);
    });

    await scenario('a failing receiver shows with its last answer; after the fix, "Retry now" delivers', async () => {
      await nav.getByRole('link', { name: 'Webhooks', exact: true }).click();
      await expectHeading(page, 'Webhooks');
      const reports = `${receiverUrl}/reports`;
      const failing = () =>
        page.getByRole('table', { name: 'Failing receivers', exact: true }).getByRole('row').filter({ hasText: reports });
      // Five failed calls each: the back-off's next pause is then 8 s or
      // more, so that a call soon after the button comes from the button.
      await until('each report failed five times and shows as failing with "HTTP 500"', 60000, async () => {
        const events = Object.values((await receiverState()).events);
        await page.reload();
        const rows = await failing().count();
        const answers = rows ? await failing().first().textContent() : '';
        const ready = events.length > 0 && events.every((e) => e.failures >= 5) && rows > 0 && /HTTP 500/.test(answers);
        return ready || `${JSON.stringify(events)}, ${rows} rows: ${answers}`;
      });
      check(/outbox/i.test(await page.locator('main, body').first().textContent()), 'no outbox depth on the page');
      await page.screenshot({ path: path.join(shots, 'webhooks.png'), fullPage: true });

      await fetch(`${receiverUrl}/fix`, { method: 'POST', signal: AbortSignal.timeout(5000) });
      await until('"Retry now" delivers every report', 30000, async () => {
        const events = Object.values((await receiverState()).events);
        if (events.every((e) => e.delivered)) return true;
        if ((await failing().count()) > 0) {
          await failing().first().getByRole('button', { name: 'Retry now', exact: true }).click();
          await page.waitForLoadState();
        } else {
          await page.reload();
        }
        return JSON.stringify(events);
      });
      await until('the receiver leaves the failing list', 10000, async () => {
        await page.reload();
        return (await failing().count()) === 0;
      });
    });

    await scenario('a POST without the CSRF token is refused with 403', async () => {
      const answer = await page.request.post(`${base}/console/send`, {
        form: { number: sendTo, text: 'no token' },
        maxRedirects: 0,
      });
      check(answer.status() === 403, `POST /console/send without a token answered ${answer.status()}`);
    });

    await scenario('the overview with data, then "Log out" ends the session', async () => {
      await nav.getByRole('link', { name: 'Overview', exact: true }).click();
      await expectHeading(page, 'Overview');
      await page.screenshot({ path: path.join(shots, 'overview.png'), fullPage: true });
      await page.getByRole('button', { name: 'Log out', exact: true }).click();
      await page.waitForURL(`${base}/console/login`);
      await page.goto(`${base}/console/messages`);
      check(new URL(page.url()).pathname === '/console/login', `after logging out, /console/messages is ${page.url()}`);
    });

    await context.close();

    await scenario('without JavaScript, on a phone-sized screen, the overview still shows the Handsets table', async () => {
      const plain = await browser.newContext({ javaScriptEnabled: false, viewport: { width: 390, height: 844 } });
      plain.setDefaultTimeout(30000);
      plain.setDefaultNavigationTimeout(60000);
      const phone = await plain.newPage();
      // The whole "<name>.<secret>" key logs in too.
      await logIn(phone, account, key);
      await phone.waitForURL(`${base}/console/`);
      await expectHeading(phone, 'Overview');
      const row = await handsetOne(phone);
      check(row && /\bbound\b/.test(row.State), `handset 1 without JavaScript: ${JSON.stringify(row)}`);
      const width = await phone.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
      check(width[0] <= width[1], `the page is ${width[0]} px wide on a ${width[1]} px screen`);
      await phone.screenshot({ path: path.join(shots, 'overview-phone.png'), fullPage: true });
      await plain.close();
    });
  } finally {
    await browser.close();
  }
  console.log(`screenshots: ${['overview', 'messages', 'send', 'webhooks', 'overview-phone'].map((n) => path.join(shots, `${n}.png`)).join(' ')}`);
  console.log(`console browser test: every scenario passed (${passed.length})`);
}

main().catch((error) => {
  console.log(`console browser test failed: ${error.stack || error}`);
  process.exit(1);
});
