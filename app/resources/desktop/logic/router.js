// The page's routes. The main web view may never leave the page (the host
// refuses every navigation, and the bridge answers only the page's exact
// URL), so routing is internal: no location hash, no history entries; the
// page keeps its own back stack.
//
// Routes are plain strings: a section ("customers"), or a record in it
// ("customer/<id>", "customer/<id>/minutes"). Record ids are written with
// encodeURIComponent, as the host's company exit writes them.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'router', function () {
  'use strict';

  // Each section, its label in the navigation, and the record routes it shows.
  const SECTIONS = Object.freeze([
    {id: 'home', label: '首页', records: []},
    {id: 'customers', label: '客户', records: ['customer', 'imports']},
    {id: 'opportunities', label: '商机', records: ['opportunity']},
    {id: 'minutes', label: '纪要', records: ['minute']},
    {id: 'partners', label: '伙伴', records: ['partner']},
    {id: 'events', label: '活动', records: ['event']},
    {id: 'rules', label: '规则与交付', records: ['rule', 'deliveries', 'delivery']},
    {id: 'chat', label: '对话与助手', records: ['conversation', 'assistant']},
    {id: 'tasks', label: '任务', records: ['task']},
    {id: 'settings', label: '设置', records: []},
  ]);

  // Record routes: how many path parts follow the name, and the allowed tails.
  const RECORDS = Object.freeze({
    customer: {id: true, tails: ['', 'minutes', 'contacts']},
    imports: {id: false},
    opportunity: {id: true},
    minute: {id: true},
    partner: {id: true},
    event: {id: true},
    rule: {id: true},
    deliveries: {id: false},
    delivery: {id: true},
    conversation: {id: true},
    assistant: {id: false},
    task: {id: true},
  });

  const MAX_ROUTE = 400;
  const BACK_LIMIT = 50;

  function sectionOf(page) {
    const section = SECTIONS.find(s => s.id === page || s.records.includes(page));
    return section ? section.id : null;
  }

  function decode(part) {
    try { return decodeURIComponent(part); } catch { return null; }
  }

  // {route, section, page, id, tail} for a route this page can show, else null.
  function parse(route) {
    if (typeof route !== 'string' || !route || route.length > MAX_ROUTE) return null;
    const parts = route.split('/');
    const page = parts[0];
    if (SECTIONS.some(s => s.id === page)) {
      return parts.length === 1 ? {route, section: page, page, id: null, tail: ''} : null;
    }
    const record = Object.prototype.hasOwnProperty.call(RECORDS, page) ? RECORDS[page] : null;
    if (!record) return null;
    if (!record.id) return parts.length === 1 ? {route, section: sectionOf(page), page, id: null, tail: ''} : null;
    if (parts.length < 2 || parts.length > 3) return null;
    const id = decode(parts[1]);
    if (!id || id.trim() !== id) return null;
    const tail = parts.length === 3 ? parts[2] : '';
    if (!(record.tails || ['']).includes(tail)) return null;
    return {route, section: sectionOf(page), page, id, tail};
  }

  function routeOf(page, id, tail) {
    return id === undefined || id === null ? page
      : `${page}/${encodeURIComponent(id)}${tail ? `/${tail}` : ''}`;
  }

  // The current route and the back stack. `navigate(route)` remembers where
  // the user came from; `navigate(route, false)` shows the route in place
  // (the host uses it to redraw the current route after a web workspace).
  function createRouter(onChange, start) {
    let current = parse(start || 'home') || parse('home');
    const back = [];

    function navigate(route, remember) {
      const next = parse(route);
      if (!next) return false;
      if (remember !== false && next.route !== current.route) {
        back.push(current.route);
        if (back.length > BACK_LIMIT) back.shift();
      }
      current = next;
      onChange(current);
      return true;
    }

    return {
      navigate,
      back() {
        const previous = back.pop();
        return previous ? navigate(previous, false) : false;
      },
      get canGoBack() { return back.length > 0; },
      get current() { return current; },
      get destination() { return current.route; },
    };
  }

  return {SECTIONS, parse, routeOf, sectionOf, createRouter, isPage: route => parse(route) !== null};
});
