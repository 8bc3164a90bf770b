'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {merge, empty, sinceOf, load, save, storageKey, createLibrary} = require('../../resources/desktop/logic/library.js');

// localStorage's surface, in memory; `limit` makes setItem throw like a full storage.
function memoryStorage(limit = Infinity) {
  const items = new Map();
  return {
    items,
    getItem: key => (items.has(key) ? items.get(key) : null),
    setItem(key, value) {
      if (String(value).length > limit) throw new Error('QuotaExceededError');
      items.set(key, String(value));
    },
    removeItem: key => items.delete(key),
  };
}

const T1 = '2026-12-10T01:00:00.000Z';
const T2 = '2026-12-10T01:05:00.000Z';
const acme = {id: 'c1', name: '启明科技', kind: 'customer'};
const beta = {id: 'c2', name: '澜海物流', kind: 'prospect'};
const wang = {id: 'p1', companyID: 'c1', name: '王伟'};
const li = {id: 'p2', companyID: 'c2', name: '李芳'};

test('a full reply replaces the library; an incremental one applies rows and tombstones', () => {
  let library = merge(empty(), {serverTime: T1, companies: [acme, beta], contacts: [wang, li]}, false);
  assert.equal(sinceOf(library), T1);
  assert.deepEqual([...library.companies.keys()], ['c1', 'c2']);

  const renamed = Object.assign({}, acme, {name: '启明科技集团'});
  library = merge(library, {serverTime: T2, companies: [renamed, {id: 'c2', deleted: true}],
    contacts: [{id: 'p3', companyID: 'c1', name: '张敏'}]}, true);
  assert.equal(library.companies.get('c1').name, '启明科技集团');
  assert.equal(library.companies.has('c2'), false);
  // The deleted company's contact goes with it, even before its own tombstone.
  assert.deepEqual([...library.contacts.keys()].sort(), ['p1', 'p3']);
  assert.equal(sinceOf(library), T2);

  // A full reply after that forgets rows it does not name.
  library = merge(library, {serverTime: T2, companies: [beta], contacts: []}, false);
  assert.deepEqual([...library.companies.keys()], ['c2']);
  assert.equal(library.contacts.size, 0);
});

test('a tombstone for an unknown row and a malformed row change nothing; a bad reply is refused', () => {
  const base = merge(empty(), {serverTime: T1, companies: [acme], contacts: []}, false);
  const next = merge(base, {serverTime: T2, companies: [{id: 'zz', deleted: true}, {name: 'no id'}, null], contacts: []}, true);
  assert.deepEqual([...next.companies.keys()], ['c1']);
  assert.equal(next.changed, 0);
  assert.throws(() => merge(base, {companies: 'x', contacts: []}, true), {message: '关系库数据格式异常，请重新读取。'});
  // The library that was merged into is left as it was.
  assert.deepEqual([...base.companies.keys()], ['c1']);
});

test('"since" is sent only when the last serverTime is one the host accepts', () => {
  const at = time => Object.assign(empty(), {serverTime: time});
  assert.equal(sinceOf(at(null)), null);
  assert.equal(sinceOf(at('2026-12-10T01:00:00Z')), null); // no fraction
  assert.equal(sinceOf(at('2026-12-10T01:00:00.000000000000+08:00')), null); // over 30 characters
  assert.equal(sinceOf(at('2026-12-10T01:00:00.5+08:00')), '2026-12-10T01:00:00.5+08:00');
});

test('kept per account: each owner reads back only its own library', () => {
  const storage = memoryStorage();
  const library = merge(empty(), {serverTime: T1, companies: [acme], contacts: [wang]}, false);
  assert.equal(save(storage, 'acct-a', library), true);
  assert.deepEqual([...load(storage, 'acct-a').companies.keys()], ['c1']);
  assert.equal(load(storage, 'acct-a').serverTime, T1);
  assert.equal(load(storage, 'acct-b').companies.size, 0);
  storage.setItem(storageKey('acct-c'), '{not json');
  assert.equal(load(storage, 'acct-c').companies.size, 0);
  storage.setItem(storageKey('acct-d'), JSON.stringify({format: 99, companies: [acme], contacts: []}));
  assert.equal(load(storage, 'acct-d').companies.size, 0);
});

test('a full storage leaves no stale copy behind', () => {
  const storage = memoryStorage(50);
  storage.items.set(storageKey('acct-a'), 'old');
  const library = merge(empty(), {serverTime: T1, companies: [acme, beta], contacts: [wang]}, false);
  assert.equal(save(storage, 'acct-a', library), false);
  assert.equal(storage.getItem(storageKey('acct-a')), null);
});

test('sync asks for the whole library first, then increments from the last serverTime', async () => {
  const storage = memoryStorage();
  const asked = [];
  const replies = [
    {serverTime: T1, companies: [acme, beta], contacts: [wang]},
    {serverTime: T2, companies: [{id: 'c1', deleted: true}], contacts: [{id: 'p1', deleted: true}]},
  ];
  const sales = (action, fields) => { asked.push([action, fields]); return Promise.resolve(replies.shift()); };
  const library = createLibrary({sales, storage, owner: 'acct-a'});
  await library.sync();
  await library.sync();
  assert.deepEqual(asked, [['library', {}], ['library', {since: T1}]]);
  assert.deepEqual([...library.current.companies.keys()], ['c2']);
  assert.equal(library.current.contacts.size, 0);
  // The next start picks up where this one stopped.
  const again = createLibrary({sales, storage, owner: 'acct-a'});
  assert.deepEqual([...again.current.companies.keys()], ['c2']);
  assert.equal(sinceOf(again.current), T2);
});

test('syncs asked at once share one request; a refused "since" falls back to a full read', async () => {
  let calls = 0;
  const sales = (action, fields) => {
    calls += 1;
    if (fields.since) return Promise.reject(new Error('关系库同步时间无效。'));
    return Promise.resolve({serverTime: T2, companies: [beta], contacts: []});
  };
  const storage = memoryStorage();
  save(storage, 'acct-a', merge(empty(), {serverTime: T1, companies: [acme], contacts: []}, false));
  const library = createLibrary({sales, storage, owner: 'acct-a'});
  const [a, b] = await Promise.all([library.sync(), library.sync()]);
  assert.equal(a, b);
  assert.equal(calls, 2); // the refused increment, then one full read
  assert.deepEqual([...library.current.companies.keys()], ['c2']);
});

test('any other failure keeps the library as it was', async () => {
  const storage = memoryStorage();
  save(storage, 'acct-a', merge(empty(), {serverTime: T1, companies: [acme], contacts: []}, false));
  const library = createLibrary({sales: () => Promise.reject(new Error('账号已切换。')), storage, owner: 'acct-a'});
  await assert.rejects(library.sync(), {message: '账号已切换。'});
  assert.deepEqual([...library.current.companies.keys()], ['c1']);
  assert.equal(sinceOf(library.current), T1);
});
