'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {buildIndex, filter} = require('../../resources/desktop/logic/directory.js');
const {merge, empty} = require('../../resources/desktop/logic/library.js');

const cities = ['杭州', '上海', '苏州', '深圳', '成都', '武汉'];
const brands = ['云帆', '启明', '澜海', '恒拓', '星衡', '瑞禾', '博远', '众诚'];

// A desk of `companies` companies and `contacts` contacts.
function desk(companies, contacts) {
  const rows = [];
  for (let n = 0; n < companies; n += 1)
    rows.push({id: `c${n}`, name: `${cities[n % 6]}${brands[(n >> 3) % 8]}${n}号有限公司`, introNote: '正在推进数字化改造。',
      targetPosition: n % 2 ? '采购总监' : '信息化负责人', kind: ['customer', 'prospect', 'partner'][n % 3],
      isTarget: n % 4 === 0, unsure: n % 11 === 5});
  const people = [];
  for (let n = 0; n < contacts; n += 1)
    people.push({id: `p${n}`, companyID: `c${n % companies}`, name: `联系人${n}`, department: '采购部', title: n % 5 ? '经理' : '总监'});
  return merge(empty(), {serverTime: null, companies: rows, contacts: people}, false);
}

test('every term must match the company or one of its contacts; filters narrow', () => {
  const index = buildIndex(desk(30, 60));
  assert.equal(filter(index, {}).length, 30);
  const byContact = filter(index, {query: '联系人37'});
  assert.deepEqual(byContact.map(r => r.company.id), ['c7']);
  assert.deepEqual(filter(index, {query: '杭州  联系人36'}).map(r => r.company.id), ['c6']);
  assert.equal(filter(index, {query: '杭州 联系人37'}).length, 0);
  assert.ok(filter(index, {kind: 'partner'}).every(r => r.company.kind === 'partner'));
  assert.ok(filter(index, {target: true, unsure: true}).every(r => r.company.isTarget && r.company.unsure));
  const row = index.rows.find(r => r.company.id === 'c7');
  assert.deepEqual(row.contacts.map(c => c.id), ['p37', 'p7']);
});

test('2,000 companies and 5,000 contacts: indexed once, filtered within a keystroke', () => {
  const library = desk(2000, 5000);
  let started = performance.now();
  const index = buildIndex(library);
  const indexMs = performance.now() - started;
  const queries = ['杭', '杭州', '杭州启', '杭州启明', '杭州启明 总监', '联系人4', '采购'];
  let worst = 0;
  for (const query of queries) {
    started = performance.now();
    filter(index, {query, kind: 'customer'});
    worst = Math.max(worst, performance.now() - started);
  }
  console.log(`# index ${indexMs.toFixed(1)} ms, slowest keystroke ${worst.toFixed(2)} ms`);
  assert.equal(index.rows.length, 2000);
  assert.ok(worst < 50, `filtering took ${worst} ms`);
});
