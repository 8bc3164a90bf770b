'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const T = require('../../resources/desktop/logic/tasks.js');

const ID = '3f2b8c1e-5d4a-4e6f-9a7b-1c2d3e4f5a6b';

test('a draft carries the revision last seen: 0 before the first save', () => {
  const draft = {title: '周报', body: '本周拜访 3 家', skill: '项目周报', project: '', fileIDs: ['a'.repeat(64)]};
  assert.equal(T.draftPayload(ID, null, draft).revision, 0);
  const saved = T.draftPayload(ID, {id: ID, revision: 4}, draft);
  assert.deepEqual(saved, {id: ID, revision: 4, title: '周报', body: '本周拜访 3 家', skill: '项目周报', project: '', fileIDs: ['a'.repeat(64)]});
  // Unknown skills are not sent as they are; the minute reference keeps its three strings.
  const other = T.draftPayload(ID, null, {skill: '写诗', minute: {id: 'm', digest: 'd', title: '纪要', extra: 1}});
  assert.equal(other.skill, '');
  assert.deepEqual(other.minute, {id: 'm', digest: 'd', title: '纪要'});
  assert.equal('fileIDs' in other, false, 'no fileIDs keeps every stored attachment');
});

test('messages that mean the page\'s copy is old offer a reload; others do not', () => {
  assert.equal(T.needsReload('此任务已在其他窗口更改，请重新打开任务列表。'), true);
  assert.equal(T.needsReload('记录标识失效，请重新打开工作区。'), true);
  assert.equal(T.needsReload('请先填写交付说明。'), false);
});

test('the start budget is entered in yuan and sent as whole micro-yuan', () => {
  const record = {id: ID, revision: 3};
  assert.deepEqual(T.startPayload(record, '2'), {id: ID, revision: 3, budgetMicros: 2000000});
  assert.equal(T.startPayload(record, 0.0000005).budgetMicros, 1);
  for (const bad of ['', '0', '-1', 'abc', '1e300', 0, NaN, 0.0000004])
    assert.equal(T.startPayload(record, bad), null, String(bad));
});

test('a record answered by the host replaces its old copy, newest first', () => {
  const records = [{id: 'a', updatedAt: '2026-12-10T01:00:00Z', revision: 1}, {id: 'b', updatedAt: '2026-12-09T01:00:00Z', revision: 2}];
  const next = T.replaceRecord(records, {id: 'b', updatedAt: '2026-12-10T02:00:00Z', revision: 3});
  assert.deepEqual(next.map(r => [r.id, r.revision]), [['b', 3], ['a', 1]]);
  assert.equal(T.replaceRecord(records, null), records);
  assert.equal(records[1].revision, 2, 'the old list is not changed');
});

test('brief states are asked at most 100 at a time, for task ids only', () => {
  const records = Array.from({length: 205}, (_, i) => ({id: `00000000-0000-4000-8000-${String(i).padStart(12, '0')}`}));
  records.push({id: 'not-a-uuid'});
  const batches = T.stateBatches(records);
  assert.deepEqual(batches.map(b => b.length), [100, 100, 5]);
  const states = T.statesById([{items: [{id: ID.toUpperCase(), state: 'running'}]}, {items: 'x'}, null]);
  assert.equal(states.get(ID).state, 'running');
  assert.equal(T.newId().length, 36);
  assert.notEqual(T.newId(), T.newId());
});
