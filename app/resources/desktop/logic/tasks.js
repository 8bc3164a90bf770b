// The page's side of the local task workspace: building the payloads the
// host expects, and keeping the list in step with the record views it
// answers. Every record call carries the revision the page last saw; the
// host refuses a stale one, and the page then offers to reload the list
// instead of guessing.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'tasks', function () {
  'use strict';

  const SKILLS = Object.freeze(['', '销售问答', '会议纪要整理', '行动项提取', '初筛企业与联系人', '关键人映射',
    '阶段证据核验', '合作试点测算', '项目周报']);
  const STATES_LIMIT = 100;
  const UUID = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/i;

  // Messages after which the page's copy of the workspace is out of date.
  const RELOAD_MESSAGES = Object.freeze([
    '此任务已在其他窗口更改，请重新打开任务列表。',
    '记录标识失效，请重新打开工作区。',
    '项目已变更，请重新打开。',
  ]);

  function needsReload(message) { return RELOAD_MESSAGES.includes(message); }

  function newId() {
    if (globalThis.crypto && typeof globalThis.crypto.randomUUID === 'function') return globalThis.crypto.randomUUID();
    const bytes = new Uint8Array(16);
    for (let i = 0; i < 16; i += 1) bytes[i] = Math.floor(Math.random() * 256);
    bytes[6] = (bytes[6] & 0x0f) | 0x40;
    bytes[8] = (bytes[8] & 0x3f) | 0x80;
    const hex = [...bytes].map(b => b.toString(16).padStart(2, '0')).join('');
    return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
  }

  // The revision the page last saw: 0 for a task never saved.
  function revisionOf(record) {
    return record && Number.isInteger(record.revision) ? record.revision : 0;
  }

  // "taskSave" / "taskAttach" payload from the stored view and the editor's draft.
  function draftPayload(id, record, draft) {
    const payload = {
      id,
      revision: revisionOf(record),
      title: String(draft.title || ''),
      body: String(draft.body || ''),
      skill: SKILLS.includes(draft.skill) ? draft.skill : '',
      project: String(draft.project || ''),
    };
    if (Array.isArray(draft.fileIDs)) payload.fileIDs = draft.fileIDs.slice();
    if (draft.minute && typeof draft.minute === 'object')
      payload.minute = {id: String(draft.minute.id), digest: String(draft.minute.digest), title: String(draft.minute.title)};
    return payload;
  }

  // "taskStart" payload; the budget is entered in yuan and sent in micro-yuan
  // as an integer. Null when the budget is not a positive amount.
  function startPayload(record, budgetYuan) {
    const amount = typeof budgetYuan === 'string' ? Number(budgetYuan.trim()) : budgetYuan;
    if (!Number.isFinite(amount) || amount <= 0) return null;
    const budgetMicros = Math.round(amount * 1e6);
    if (!Number.isSafeInteger(budgetMicros) || budgetMicros < 1) return null;
    return {id: record.id, revision: revisionOf(record), budgetMicros};
  }

  // The listing with one record view put in place, newest first.
  function replaceRecord(records, view) {
    if (!view || typeof view.id !== 'string') return records;
    const rest = records.filter(record => record.id !== view.id);
    rest.push(view);
    return rest.sort((a, b) => String(b.updatedAt || '').localeCompare(String(a.updatedAt || '')));
  }

  // "taskStates" takes at most 100 UUIDs a call.
  function stateBatches(records) {
    const ids = records.map(record => record.id).filter(id => UUID.test(id));
    const batches = [];
    for (let i = 0; i < ids.length; i += STATES_LIMIT) batches.push(ids.slice(i, i + STATES_LIMIT));
    return batches;
  }

  // Brief states by lower-case id from "taskStates" replies.
  function statesById(replies) {
    const states = new Map();
    for (const reply of replies)
      for (const item of (reply && Array.isArray(reply.items) ? reply.items : []))
        if (item && typeof item.id === 'string') states.set(item.id.toLowerCase(), item);
    return states;
  }

  return {SKILLS, RELOAD_MESSAGES, needsReload, newId, revisionOf, draftPayload, startPayload,
    replaceRecord, stateBatches, statesById};
});
