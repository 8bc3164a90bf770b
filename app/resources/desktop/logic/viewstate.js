// Replies and failures of the bridge become view state here, in one place:
// { status: 'idle' | 'loading' | 'ready' | 'error', data, error, slow }.
// "slow" turns on when a call has waited longer than the progress delay, so
// quick answers never flash a spinner. A reply {"cancelled": true} (a file
// chooser closed without a choice) leaves the state as it was before the
// call. A call superseded by a newer one of the same task is dropped.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'viewstate', function () {
  'use strict';

  const PROGRESS_DELAY_MS = 300;
  const FALLBACK = '操作未完成，请稍后重试。';

  function idle(data) {
    return {status: data === undefined || data === null ? 'idle' : 'ready', data: data === undefined ? null : data, error: '', slow: false};
  }

  function isCancelled(value) {
    return !!value && typeof value === 'object' && !Array.isArray(value) && value.cancelled === true;
  }

  // The sentence shown for a failure. The host's messages are Chinese
  // sentences; anything else (an engine or platform error in another
  // language) is put behind a Chinese one rather than shown alone.
  function messageOf(error) {
    const text = error && typeof error.message === 'string' ? error.message.trim()
      : typeof error === 'string' ? error.trim() : '';
    if (!text) return FALLBACK;
    if (/[\u3400-\u9fff]/.test(text)) return text;
    return `${FALLBACK}（${text}）`;
  }

  function reduce(state, event) {
    switch (event.type) {
    case 'start':
      return {status: 'loading', data: state.data, error: '', slow: false,
        before: state.status === 'loading' ? state.before : {status: state.status, error: state.error}};
    case 'slow':
      return state.status === 'loading' ? Object.assign({}, state, {slow: true}) : state;
    case 'done':
      if (isCancelled(event.value)) {
        const before = state.before || {status: state.data === null ? 'idle' : 'ready', error: ''};
        return {status: before.status, data: state.data, error: before.error, slow: false};
      }
      return {status: 'ready', data: event.value === undefined ? null : event.value, error: '', slow: false};
    case 'fail':
      return {status: 'error', data: state.data, error: messageOf(event.error), slow: false};
    default:
      return state;
    }
  }

  // A task runs calls into one view state. `get` and `set` read and write
  // that state (a signal's value, in the page). With `exclusive`, a call
  // made while one is running is refused rather than sent twice: that is
  // what keeps a double click from submitting twice. Each run resolves to
  // {ok, value} | {ok: false, error} | {cancelled: true} | {stale: true} |
  // {busy: true} and never rejects.
  function createTask(options) {
    const {get, set, exclusive = false, delay = PROGRESS_DELAY_MS} = options;
    const timers = options.timers || globalThis;
    let generation = 0;
    let running = 0;

    function run(start) {
      if (exclusive && running) return Promise.resolve({busy: true});
      const mine = ++generation;
      running += 1;
      set(reduce(get(), {type: 'start'}));
      const timer = timers.setTimeout(() => {
        if (mine === generation) set(reduce(get(), {type: 'slow'}));
      }, delay);
      const settle = outcome => {
        running -= 1;
        timers.clearTimeout(timer);
        return outcome;
      };
      return Promise.resolve().then(start).then(value => {
        if (mine !== generation) return settle({stale: true});
        set(reduce(get(), {type: 'done', value}));
        return settle(isCancelled(value) ? {cancelled: true} : {ok: true, value});
      }, error => {
        if (mine !== generation) return settle({stale: true});
        set(reduce(get(), {type: 'fail', error}));
        return settle({ok: false, error: messageOf(error)});
      });
    }

    return {
      run,
      get busy() { return running > 0; },
      // Forgets a call in flight: its reply will not change the state.
      drop() { generation += 1; },
    };
  }

  return {PROGRESS_DELAY_MS, idle, isCancelled, messageOf, reduce, createTask};
});
