// Shared pieces of the page's screens: the template tag, data hooks that
// turn bridge calls into view state, and the small components every screen
// uses (buttons that cannot submit twice, progress, error and empty states,
// a virtualised list).
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {h, Fragment} = window.preact;
  const {useState, useEffect, useMemo, useRef, useCallback, useLayoutEffect} = window.preactHooks;
  const {useSignal, signal} = window.preactSignals;
  const {createTask, idle} = K.viewstate;
  const html = window.htm.bind(h);

  // Last data of each load, so that coming back to a screen draws at once
  // while it refreshes.
  const remembered = new Map();

  // Loads data for a screen into view state. `key` names the data (null
  // means nothing to load yet); the load runs again when the key changes
  // and when the page is invalidated (salesDesk.invalidate()).
  function useLoad(key, load) {
    const desk = K.desk;
    const state = useSignal(idle(key !== null && remembered.has(key) ? remembered.get(key) : null));
    const loadRef = useRef(load);
    loadRef.current = load;
    const task = useMemo(() => createTask({get: () => state.value, set: value => { state.value = value; }}), []);
    const epoch = desk.epoch.value;
    useEffect(() => {
      if (key === null) return undefined;
      if (remembered.has(key) && state.value.data === null)
        state.value = idle(remembered.get(key));
      task.run(() => loadRef.current()).then(outcome => {
        if (outcome.ok) remembered.set(key, outcome.value);
      });
      return () => task.drop();
    }, [key, epoch]);
    const current = state.value;
    return {
      ...current,
      reload: () => task.run(() => loadRef.current()).then(outcome => {
        if (outcome.ok) remembered.set(key, outcome.value);
        return outcome;
      }),
      // Puts a value answered by another call (a save) in place.
      replace(data) {
        remembered.set(key, data);
        state.value = {status: 'ready', data, error: '', slow: false};
      },
    };
  }

  // An action (a save, a start) into its own view state; exclusive, so a
  // second click while it runs sends nothing.
  function useAction() {
    const state = useSignal(idle());
    const task = useMemo(() => createTask({get: () => state.value, set: value => { state.value = value; }, exclusive: true}), []);
    const current = state.value;
    return {
      ...current,
      busy: current.status === 'loading',
      run: start => task.run(start),
      clear() { state.value = idle(); },
    };
  }

  function Spinner({label}) {
    return html`<span class="spinner" role="status" aria-label=${label || '正在处理'}></span>`;
  }

  // Progress for a load: nothing for the first 300 ms, then a bar and a line.
  function Progress({state, label}) {
    if (!state || state.status !== 'loading' || !state.slow) return null;
    return html`<div class="progress" role="status"><div class="progress-bar"></div><span>${label || '正在读取…'}</span></div>`;
  }

  function ErrorNote({text, onRetry, retryLabel}) {
    if (!text) return null;
    return html`<div class="error-note" role="alert">
      <span>${text}</span>
      ${onRetry ? html`<button type="button" class="link" onClick=${onRetry}>${retryLabel || '重试'}</button>` : null}
    </div>`;
  }

  function Empty({title, hint, children}) {
    return html`<div class="empty">
      <p class="empty-title">${title}</p>
      ${hint ? html`<p class="empty-hint">${hint}</p>` : null}
      ${children}
    </div>`;
  }

  // Shows a load's state: progress, error with retry, empty, or the content.
  function Loaded({state, isEmpty, emptyView, children, label}) {
    const data = state.data;
    if (state.status === 'error' && data === null)
      return html`<${ErrorNote} text=${state.error} onRetry=${state.reload} />`;
    if (data === null) {
      return state.slow || state.status !== 'loading'
        ? html`<div class="loading-block"><${Spinner} /><span>${label || '正在读取…'}</span></div>`
        : html`<div class="loading-block" aria-busy="true"></div>`;
    }
    const none = isEmpty ? isEmpty(data) : false;
    return html`<${Fragment}>
      <${Progress} state=${state} label="正在刷新…" />
      ${state.status === 'error' ? html`<${ErrorNote} text=${state.error} onRetry=${state.reload} />` : null}
      ${none ? emptyView : children(data)}
    <//>`;
  }

  // A button bound to an action: disabled while it runs, a spinner after
  // 300 ms, the failure's sentence beside it.
  function ActionButton({action, run, onDone, children, kind, disabled, title, type}) {
    const own = useAction();
    const act = action || own;
    const click = async event => {
      if (event) event.preventDefault();
      if (act.busy || disabled) return;
      const outcome = await act.run(run);
      if (outcome.ok && onDone) onDone(outcome.value);
    };
    return html`<span class="action">
      <button type=${type || 'button'} class=${kind || ''} disabled=${disabled} aria-busy=${act.busy ? 'true' : 'false'}
        aria-disabled=${act.busy ? 'true' : undefined} title=${title} onClick=${click}>
        ${act.busy && act.slow ? html`<${Spinner} />` : null}${children}
      </button>
      ${!action && act.status === 'error' ? html`<span class="error-text" role="alert">${act.error}</span>` : null}
    </span>`;
  }

  // The submit button of a form whose action is `action`.
  function SubmitButton({action, children, disabled, kind}) {
    return html`<button type="submit" class=${kind || 'primary'} disabled=${disabled || action.busy}
      aria-busy=${action.busy ? 'true' : 'false'}>${action.busy && action.slow ? html`<${Spinner} />` : null}${children}</button>`;
  }

  function Field({label, children, hint}) {
    return html`<label class="field"><span class="field-label">${label}</span>${children}${hint ? html`<span class="field-hint">${hint}</span>` : null}</label>`;
  }

  function Badge({tone, children}) {
    return html`<span class=${`badge ${tone || ''}`}>${children}</span>`;
  }

  // A list that draws only the rows in view. Rows are `rowHeight` pixels
  // high; arrow keys move the selection, Enter opens it.
  function VirtualList({items, rowHeight, renderRow, onOpen, label, selectedKey, keyOf}) {
    const box = useRef(null);
    const [scroll, setScroll] = useState(0);
    const [height, setHeight] = useState(480);
    const [active, setActive] = useState(0);
    useLayoutEffect(() => {
      const element = box.current;
      if (!element) return undefined;
      const measure = () => setHeight(element.clientHeight || 480);
      measure();
      const observer = new ResizeObserver(measure);
      observer.observe(element);
      return () => observer.disconnect();
    }, []);
    useEffect(() => { if (active >= items.length) setActive(Math.max(0, items.length - 1)); }, [items.length]);
    const overscan = 6;
    const first = Math.max(0, Math.floor(scroll / rowHeight) - overscan);
    const last = Math.min(items.length, Math.ceil((scroll + height) / rowHeight) + overscan);
    const rows = [];
    for (let i = first; i < last; i += 1) {
      const item = items[i];
      const key = keyOf(item);
      rows.push(html`<div key=${key} role="option" id=${`row-${i}`} aria-selected=${key === selectedKey}
        class=${`vrow${i === active ? ' active' : ''}${key === selectedKey ? ' selected' : ''}`}
        style=${`top:${i * rowHeight}px;height:${rowHeight}px`}
        onClick=${() => { setActive(i); onOpen(item); }}>${renderRow(item)}</div>`);
    }
    const reveal = index => {
      const element = box.current;
      if (!element) return;
      const top = index * rowHeight;
      if (top < element.scrollTop) element.scrollTop = top;
      else if (top + rowHeight > element.scrollTop + element.clientHeight) element.scrollTop = top + rowHeight - element.clientHeight;
    };
    const key = event => {
      if (!items.length) return;
      let next = active;
      if (event.key === 'ArrowDown') next = Math.min(items.length - 1, active + 1);
      else if (event.key === 'ArrowUp') next = Math.max(0, active - 1);
      else if (event.key === 'PageDown') next = Math.min(items.length - 1, active + Math.floor(height / rowHeight));
      else if (event.key === 'PageUp') next = Math.max(0, active - Math.floor(height / rowHeight));
      else if (event.key === 'Home') next = 0;
      else if (event.key === 'End') next = items.length - 1;
      else if (event.key === 'Enter') { onOpen(items[active]); event.preventDefault(); return; } else return;
      event.preventDefault();
      setActive(next);
      reveal(next);
    };
    return html`<div class="vlist" ref=${box} tabindex="0" role="listbox" aria-label=${label}
      aria-activedescendant=${items.length ? `row-${active}` : undefined}
      onScroll=${event => setScroll(event.currentTarget.scrollTop)} onKeyDown=${key}>
      <div class="vlist-space" style=${`height:${items.length * rowHeight}px`}>${rows}</div>
    </div>`;
  }

  // A section heading with its actions on the right.
  function Toolbar({title, children, sub}) {
    return html`<div class="toolbar"><div class="toolbar-title"><h2>${title}</h2>${sub ? html`<span class="sub">${sub}</span>` : null}</div><div class="toolbar-actions">${children}</div></div>`;
  }

  function Tabs({tabs, current, onChange, label}) {
    const key = event => {
      const index = tabs.findIndex(tab => tab.id === current);
      let next = index;
      if (event.key === 'ArrowRight') next = (index + 1) % tabs.length;
      else if (event.key === 'ArrowLeft') next = (index - 1 + tabs.length) % tabs.length;
      else return;
      event.preventDefault();
      onChange(tabs[next].id);
      const buttons = event.currentTarget.querySelectorAll('[role=tab]');
      if (buttons[next]) buttons[next].focus();
    };
    return html`<div class="tabs" role="tablist" aria-label=${label} onKeyDown=${key}>
      ${tabs.map(tab => html`<button type="button" role="tab" key=${tab.id} aria-selected=${tab.id === current}
        tabindex=${tab.id === current ? 0 : -1} onClick=${() => onChange(tab.id)}>${tab.label}${tab.count !== undefined ? html`<span class="count">${tab.count}</span>` : null}</button>`)}
    </div>`;
  }

  // Picks a company of the synced library by name; `value` is its id.
  function CompanyPicker({value, onChange, label, required}) {
    const directory = K.desk.directory.value.data;
    const library = directory ? directory.library : null;
    const current = value && library && library.companies.get(value);
    const [text, setText] = useState(current ? current.name : '');
    const listId = useMemo(() => `companies-${Math.random().toString(36).slice(2)}`, []);
    const matches = useMemo(() => {
      if (!directory || !text.trim()) return [];
      return K.directory.filter(directory.index, {query: text}).slice(0, 12);
    }, [directory, text]);
    const input = event => {
      const name = event.currentTarget.value;
      setText(name);
      const exact = directory && directory.index.rows.find(row => row.company.name === name.trim());
      onChange(exact ? exact.company.id : '');
    };
    return html`<${Field} label=${label || '客户企业'} hint=${text && !value ? '请从列表中选择关系库里的企业' : ''}>
      <input type="text" list=${listId} value=${text} onInput=${input} required=${required}
        placeholder=${library ? '输入企业名称搜索' : '关系库同步后可选择'} />
      <datalist id=${listId}>${matches.map(row => html`<option key=${row.company.id} value=${row.company.name} />`)}</datalist>
    <//>`;
  }

  // Opens a route inside the page.
  function Link({to, children, className}) {
    return html`<a href="#" class=${className} onClick=${event => { event.preventDefault(); window.navigate(to); }}>${children}</a>`;
  }

  K.ui = {html, h, Fragment, useState, useEffect, useMemo, useRef, useCallback, useLayoutEffect, signal, useSignal,
    useLoad, useAction, Spinner, Progress, ErrorNote, Empty, Loaded, ActionButton, SubmitButton, Field, Badge, VirtualList, Toolbar,
    Tabs, Link, CompanyPicker, remembered};
})();
