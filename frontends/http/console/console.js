// The web console's enhancements; every page works without them.
// - The overview (body data-refresh="N") fetches itself every N seconds and
//   replaces its content, keeping the keyboard focus where it was.
// - A message's page (body data-status-url) asks for the message's status
//   every second until it is final, updates the status (role status, read out
//   by screen readers) and, when it changed, the history below it.
"use strict";

(function () {
  const main = document.getElementById("main");
  if (!main) return;

  async function fetchMain() {
    const response = await fetch(window.location.href, { credentials: "same-origin", cache: "no-store" });
    if (response.redirected || !response.ok) return null;
    const page = new DOMParser().parseFromString(await response.text(), "text/html");
    return page.getElementById("main");
  }

  const refresh = Number(document.body.dataset.refresh || 0);
  if (refresh > 0) {
    window.setInterval(async function () {
      if (document.hidden) return;
      try {
        const fresh = await fetchMain();
        if (fresh && !main.contains(document.activeElement)) main.innerHTML = fresh.innerHTML;
      } catch (e) {
        // The next turn tries again.
      }
    }, refresh * 1000);
  }

  const statusUrl = document.body.dataset.statusUrl;
  const status = document.getElementById("status");
  if (statusUrl && status && status.dataset.final !== "1") {
    let shown = status.textContent;
    let turns = 0;
    const timer = window.setInterval(async function () {
      // About ten minutes, then the page's own reload is the way.
      if (++turns > 600) {
        window.clearInterval(timer);
        return;
      }
      try {
        const response = await fetch(statusUrl, { credentials: "same-origin", cache: "no-store" });
        if (!response.ok) return;
        const message = await response.json();
        if (message.text !== shown) {
          shown = message.text;
          const fresh = await fetchMain();
          const table = fresh && fresh.querySelector("table");
          const current = main.querySelector("table");
          if (table && current) current.replaceWith(table);
          status.textContent = message.text;
        }
        if (message.final) {
          status.dataset.final = "1";
          window.clearInterval(timer);
        }
      } catch (e) {
        // The next turn tries again.
      }
    }, 1000);
  }
})();
