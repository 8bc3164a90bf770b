// The main page's shell: the contracts the host relies on (navigate,
// destination, salesDesk), the signed-in account, the navigation between
// screens, and loading each screen's script when it is first shown.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useEffect, useRef} = K.ui;
  const {signal} = window.preactSignals;
  const {render} = window.preact;
  const {SECTIONS} = K.router;

  const bridge = K.bridge.createBridge();
  const route = signal(K.router.parse('home'));
  const account = signal(null);
  const sessionState = signal(K.viewstate.idle());
  const epoch = signal(0);
  const loadedScreens = signal(0);
  const visible = signal(false);
  const directory = signal(K.viewstate.idle());
  const timings = {};

  const router = K.router.createRouter(next => {
    route.value = next;
    ensureScreen(next.section).catch(() => {});
  });

  // --- the relationship library of the signed-in account ---------------------
  let library = null;
  const directoryTask = K.viewstate.createTask({get: () => directory.value, set: value => { directory.value = value; }});

  function syncLibrary() {
    const owner = bridge.owner;
    if (!owner) return Promise.resolve({stale: true});
    if (!library || library.owner !== owner) {
      let storage = null;
      try { storage = window.localStorage; } catch { storage = null; }
      library = K.library.createLibrary({sales: bridge.sales, storage, owner});
      // What this account kept from its last sync shows at once; nothing of
      // another account's library stays on screen.
      const kept = library.current;
      directory.value = K.viewstate.idle(kept.companies.size ? {library: kept, index: K.directory.buildIndex(kept)} : null);
    }
    return directoryTask.run(async () => {
      const next = await library.sync();
      const shown = directory.value.data;
      if (shown && shown.library === next) return shown;
      return {library: next, index: K.directory.buildIndex(next)};
    });
  }

  // --- the page functions the host calls --------------------------------------
  function navigate(to, remember) {
    return router.navigate(to, remember);
  }

  const salesDesk = Object.freeze({
    // Data shown may have changed elsewhere (a company page, a review):
    // every screen on view loads again, and the library catches up.
    invalidate() {
      epoch.value += 1;
      if (bridge.owner) syncLibrary();
      return true;
    },
    isPage(x) { return K.router.isPage(x); },
  });

  Object.defineProperty(window, 'navigate', {value: navigate, writable: false, configurable: false});
  Object.defineProperty(window, 'salesDesk', {value: salesDesk, writable: false, configurable: false});
  Object.defineProperty(window, 'destination', {
    get: () => router.destination,
    set: to => { router.navigate(to, false); },
    configurable: false,
  });

  // --- screens, each in its own script, loaded when first shown ----------------
  const screens = K.screens = K.screens || {};
  const requested = new Map();

  // Loads one of the page's own scripts once; resolves when it has run.
  function loadScript(src) {
    if (requested.has(src)) return requested.get(src);
    const loading = new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = src;
      script.onload = () => { loadedScreens.value += 1; resolve(); };
      script.onerror = () => {
        requested.delete(src);
        loadedScreens.value += 1;
        reject(new Error('页面资源缺失，请重新安装 Korvid。'));
      };
      document.head.append(script);
    });
    requested.set(src, loading);
    return loading;
  }

  function ensureScreen(id) {
    return screens[id] ? Promise.resolve() : loadScript(`desktop/screens/${id}.js`);
  }

  // After the first screen is drawn, the other screens are fetched while the
  // page is idle, so that switching to them later does not wait.
  function prefetchScreens() {
    const rest = SECTIONS.map(section => section.id).filter(id => !screens[id]);
    const next = () => {
      const id = rest.shift();
      if (!id) return;
      ensureScreen(id).catch(() => {}).finally(() => setTimeout(next, 30));
    };
    setTimeout(next, 600);
  }

  // --- the shell ----------------------------------------------------------------
  const desk = K.desk = {
    bridge, router, route, account, epoch, directory, timings,
    navigate, syncLibrary, salesDesk,
    ensureScreen, loadScript,
    back: () => router.back(),
    // Marks a moment for the performance figures (read by the window tests).
    mark(name) {
      if (!(name in timings)) timings[name] = Math.round(performance.now());
    },
  };

  function NavItem({section, current, index}) {
    const selected = section.id === current;
    return html`<li><button type="button" class=${`nav-item${selected ? ' selected' : ''}`}
      aria-current=${selected ? 'page' : undefined}
      title=${`${section.label}（Alt+${(index + 1) % 10}）`}
      onClick=${() => navigate(section.id)}>
      <span class=${`nav-dot nav-${section.id}`} aria-hidden="true"></span><span class="nav-label">${section.label}</span>
    </button></li>`;
  }

  function Screen({current}) {
    loadedScreens.value; // redraw when a screen script arrives
    const Component = screens[current.section];
    if (!Component) {
      const src = `desktop/screens/${current.section}.js`;
      return requested.has(src)
        ? html`<div class="loading-block" aria-busy="true"></div>`
        : html`<div class="page"><${K.ui.ErrorNote} text="页面资源缺失，请重新安装 Korvid。" onRetry=${() => ensureScreen(current.section)} /></div>`;
    }
    return html`<${Component} route=${current} desk=${desk} />`;
  }

  function Shell() {
    const current = route.value;
    const who = account.value;
    const session = sessionState.value;
    const main = useRef(null);
    const section = SECTIONS.find(s => s.id === current.section);
    useEffect(() => {
      // Moving between sections puts the keyboard at the top of the new screen.
      if (main.current && document.activeElement && document.activeElement.closest('.nav')) return;
      if (main.current) main.current.scrollTop = 0;
    }, [current.route]);
    useEffect(() => { document.title = who ? `Korvid 工作台 · ${section ? section.label : ''}` : 'Korvid 工作台'; }, [current.section, who]);
    return html`<div class="shell">
      <nav class="nav" aria-label="主导航">
        <div class="brand"><span class="brand-mark" aria-hidden="true">K</span><span class="brand-name">Korvid</span></div>
        <ul>${SECTIONS.map((s, i) => html`<${NavItem} key=${s.id} section=${s} index=${i} current=${current.section} />`)}</ul>
        <div class="nav-account" title=${who ? who.label : ''}>${who ? who.label : ''}</div>
      </nav>
      <main class="main" ref=${main} id="main" tabindex="-1">
        ${session.status === 'error' && !who
          ? html`<div class="page"><${K.ui.ErrorNote} text=${session.error} onRetry=${start} retryLabel="重新读取账号" /></div>`
          : who || visible.value ? html`<${Screen} current=${current} />` : html`<div class="loading-block" aria-busy="true"></div>`}
      </main>
    </div>`;
  }

  // Alt+1 … Alt+0 switch sections; Alt+← goes back.
  document.addEventListener('keydown', event => {
    if (!event.altKey || event.ctrlKey || event.metaKey) return;
    if (event.key === 'ArrowLeft') {
      if (router.back()) event.preventDefault();
      return;
    }
    const digit = /^Digit(\d)$/.exec(event.code);
    if (!digit) return;
    const index = (Number(digit[1]) + 9) % 10;
    if (SECTIONS[index]) {
      event.preventDefault();
      navigate(SECTIONS[index].id);
    }
  });

  const sessionTask = K.viewstate.createTask({get: () => sessionState.value, set: value => { sessionState.value = value; }});

  // Screens draw as soon as the page is on screen; their data follows the
  // account ("session" is asked first by the bridge module).
  function start() {
    desk.mark('shown');
    visible.value = true;
    return sessionTask.run(() => bridge.session()).then(outcome => {
      if (!outcome.ok) return;
      account.value = outcome.value;
      // The host names where to begin; a route the host opened meanwhile wins.
      if (router.destination === 'home') navigate(outcome.value.destination, false);
      document.documentElement.dataset.ready = 'true';
      syncLibrary();
      prefetchScreens();
    });
  }
  // Signed out: nothing loaded for that account is shown again.
  bridge.onAccount(value => {
    if (value) return;
    account.value = null;
    K.ui.remembered.clear();
  });

  desk.mark('scriptsRun');
  render(html`<${Shell} />`, document.getElementById('app'));
  ensureScreen(route.value.section).catch(() => {});

  // The page may be loaded before it is shown (while the sign-in page is
  // up); it speaks to the host only once it is on screen.
  if (document.visibilityState === 'visible') start();
  else document.addEventListener('visibilitychange', function shown() {
    if (document.visibilityState !== 'visible') return;
    document.removeEventListener('visibilitychange', shown);
    start();
  });
})();
