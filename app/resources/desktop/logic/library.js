// The relationship library on the page: a copy of the service's directory
// (companies and their contacts) kept per account in the page's local
// storage and brought up to date incrementally. A sync asks "library" with
// "since" = the serverTime of the last reply; the host then answers only the
// rows changed since, deleted rows as tombstones {"id", "deleted": true},
// which are applied here. Without a usable serverTime the next sync reads
// the whole directory again.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'library', function () {
  'use strict';

  const FORMAT = 1;
  const KEY_PREFIX = 'korvid.desk.library.';
  // The host accepts "since" only as an ISO 8601 time with fractional
  // seconds, at most 30 characters.
  const SINCE = /^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d+(Z|[+-]\d{2}:\d{2})$/;
  const SINCE_REFUSED = '关系库同步时间无效。';

  function empty() {
    return {serverTime: null, companies: new Map(), contacts: new Map(), version: 0};
  }

  function sinceOf(library) {
    const time = library.serverTime;
    return typeof time === 'string' && time.length <= 30 && SINCE.test(time) ? time : null;
  }

  function isRow(row) {
    return row && typeof row === 'object' && typeof row.id === 'string' && row.id !== '';
  }

  function applyRows(map, rows) {
    let changed = 0;
    for (const row of Array.isArray(rows) ? rows : []) {
      if (!isRow(row)) continue;
      if (row.deleted === true) {
        if (map.delete(row.id)) changed += 1;
      } else {
        map.set(row.id, row);
        changed += 1;
      }
    }
    return changed;
  }

  // Merges one "library" reply into `library` (a new object; the old one is
  // left as it was). A full reply replaces every row; an incremental one
  // changes only the rows it names.
  function merge(library, reply, incremental) {
    if (!reply || typeof reply !== 'object' || !Array.isArray(reply.companies) || !Array.isArray(reply.contacts))
      throw new Error('关系库数据格式异常，请重新读取。');
    const next = {
      serverTime: typeof reply.serverTime === 'string' ? reply.serverTime : null,
      companies: incremental ? new Map(library.companies) : new Map(),
      contacts: incremental ? new Map(library.contacts) : new Map(),
      version: library.version + 1,
    };
    const changed = applyRows(next.companies, reply.companies) + applyRows(next.contacts, reply.contacts);
    // Contacts of a company that is gone are not shown, even if their own
    // tombstones have not arrived.
    for (const [id, contact] of next.contacts)
      if (contact.companyID && !next.companies.has(contact.companyID)) next.contacts.delete(id);
    next.changed = incremental ? changed : null;
    return next;
  }

  function storageKey(owner) { return KEY_PREFIX + owner; }

  function load(storage, owner) {
    try {
      const text = storage && storage.getItem(storageKey(owner));
      if (!text) return empty();
      const saved = JSON.parse(text);
      if (!saved || saved.format !== FORMAT || !Array.isArray(saved.companies) || !Array.isArray(saved.contacts))
        return empty();
      const library = empty();
      library.serverTime = typeof saved.serverTime === 'string' ? saved.serverTime : null;
      applyRows(library.companies, saved.companies);
      applyRows(library.contacts, saved.contacts);
      return library;
    } catch {
      return empty();
    }
  }

  // Keeps the library for the next start. A full storage only costs the next
  // sync its increment: nothing half-written is left behind.
  function save(storage, owner, library) {
    if (!storage) return false;
    const key = storageKey(owner);
    try {
      storage.setItem(key, JSON.stringify({format: FORMAT, serverTime: library.serverTime,
        companies: [...library.companies.values()], contacts: [...library.contacts.values()]}));
      return true;
    } catch {
      try { storage.removeItem(key); } catch { /* storage unavailable */ }
      return false;
    }
  }

  // One account's library: `sync()` brings it up to date through the
  // "library" action; calls made while a sync runs share it.
  function createLibrary({sales, storage, owner}) {
    let library = load(storage, owner);
    let running = null;

    async function pull() {
      const since = sinceOf(library);
      let reply;
      try {
        reply = await sales('library', since ? {since} : {});
      } catch (error) {
        if (!since || !error || error.message !== SINCE_REFUSED) throw error;
        library = empty();
        reply = await sales('library', {});
        library = merge(library, reply, false);
        save(storage, owner, library);
        return library;
      }
      library = merge(library, reply, !!since);
      save(storage, owner, library);
      return library;
    }

    return {
      owner,
      get current() { return library; },
      sync() {
        if (!running) running = pull().finally(() => { running = null; });
        return running;
      },
    };
  }

  return {empty, merge, sinceOf, load, save, storageKey, createLibrary};
});
