// Runs a task now and then again every interval, never two at once: the next run is scheduled
// only after the previous one has settled, so a slow answer delays the next poll instead of
// piling requests onto the host. Pollers pause while the tab is hidden.

const pollers = new Set();

export class Poller {
  constructor(task, intervalMs) {
    this.task = task;
    this.intervalMs = intervalMs;
    this.wanted = false; // the owner wants it running
    this.running = false; // a run is in flight
    this.pending = false; // asked to run again while one was in flight
    this.timer = null;
    pollers.add(this);
  }

  start() {
    this.wanted = true;
    if (!document.hidden) this.runSoon(0);
  }

  stop() {
    this.wanted = false;
    this.clearTimer();
  }

  // Runs at once (after the run in flight, if any), e.g. when the filter changed.
  refresh() {
    if (this.wanted && !document.hidden) this.runSoon(0);
  }

  clearTimer() {
    if (this.timer !== null) clearTimeout(this.timer);
    this.timer = null;
  }

  runSoon(delayMs) {
    this.clearTimer();
    if (this.running) {
      this.pending = true;
      return;
    }
    this.timer = setTimeout(() => this.run(), delayMs);
  }

  async run() {
    this.timer = null;
    if (!this.wanted || document.hidden) return;
    this.running = true;
    this.pending = false;
    const started = performance.now();
    try {
      await this.task();
    } catch (error) {
      // The task shows its own errors; a throw here must not end the polling.
      console.error(error);
    } finally {
      this.running = false;
    }
    if (!this.wanted || document.hidden) return;
    const elapsed = performance.now() - started;
    this.runSoon(this.pending ? 0 : Math.max(0, this.intervalMs - elapsed));
  }
}

document.addEventListener('visibilitychange', () => {
  for (const poller of pollers) {
    if (document.hidden) poller.clearTimer();
    else if (poller.wanted) poller.runSoon(0);
  }
});
