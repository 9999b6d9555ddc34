// Keeps a run page up to date while its run goes on: once a second it asks
// what changed since the jobs it shows, and puts the new pieces in place.
(function () {
  const header = document.getElementById("run");
  if (!header || header.dataset.outcome !== "running") return;
  let seen = header.dataset.seen;
  const swap = (id, html) => {
    const old = document.getElementById(id);
    const box = document.createElement("div");
    box.innerHTML = html;
    if (old && box.firstElementChild) old.replaceWith(box.firstElementChild);
  };
  const poll = async () => {
    try {
      const answer = await fetch(`/runs/${header.dataset.run}/live.json?seen=${encodeURIComponent(seen)}`, {cache: "no-store"});
      if (!answer.ok) return;
      const live = await answer.json();
      header.dataset.outcome = live.outcome;
      if (live.summary !== undefined) {
        document.getElementById("info").innerHTML = live.info;
        document.getElementById("summary").innerHTML = live.summary;
        swap("graph-box", live.graph);
        swap("assets", live.assets);
        swap("jobs", live.jobs);
        swap("timeline", live.timeline);
      }
      seen = live.seen;
    } catch (error) {
      // The server is away for a moment (restarted, busy): the next poll tries again.
    } finally {
      if (header.dataset.outcome === "running") setTimeout(poll, 1000);
    }
  };
  setTimeout(poll, 1000);
})();
