'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {createTask, idle, messageOf} = require('../../resources/desktop/logic/viewstate.js');

// Timers the test fires by hand.
function manualTimers() {
  let next = 1;
  const waiting = new Map();
  return {
    setTimeout(fn) { const id = next++; waiting.set(id, fn); return id; },
    clearTimeout(id) { waiting.delete(id); },
    fire() { const fns = [...waiting.values()]; waiting.clear(); fns.forEach(fn => fn()); },
    get pending() { return waiting.size; },
  };
}

function deferred() {
  let resolve, reject;
  const promise = new Promise((a, b) => { resolve = a; reject = b; });
  return {promise, resolve, reject};
}

function harness(options = {}) {
  const timers = manualTimers();
  let state = idle(options.data);
  const states = [];
  const task = createTask(Object.assign({get: () => state, set: value => { state = value; states.push(value); }, timers}, options));
  return {task, timers, states, get state() { return state; }};
}

test('a quick reply shows no progress; a slow one shows it after the delay', async () => {
  const h = harness();
  const quick = h.task.run(() => Promise.resolve({items: [1]}));
  assert.equal(h.state.status, 'loading');
  assert.equal(h.state.slow, false);
  assert.deepEqual(await quick, {ok: true, value: {items: [1]}});
  assert.equal(h.timers.pending, 0);
  assert.deepEqual(h.state, {status: 'ready', data: {items: [1]}, error: '', slow: false});

  const reply = deferred();
  const slow = h.task.run(() => reply.promise);
  h.timers.fire();
  assert.equal(h.state.slow, true);
  assert.deepEqual(h.state.data, {items: [1]}, 'the earlier data stays on screen while it reloads');
  reply.resolve({items: [2]});
  await slow;
  assert.equal(h.state.slow, false);
});

test('a failure becomes the host\'s sentence in place; the data shown stays', async () => {
  const h = harness({data: {items: []}});
  const outcome = await h.task.run(() => Promise.reject(new Error('账号已切换。')));
  assert.deepEqual(outcome, {ok: false, error: '账号已切换。'});
  assert.deepEqual(h.state, {status: 'error', data: {items: []}, error: '账号已切换。', slow: false});
  // A thrown value that is not an Error, or a sentence in another language, is still shown in Chinese.
  assert.equal(messageOf(undefined), '操作未完成，请稍后重试。');
  assert.equal(messageOf(new Error('Connection refused')), '操作未完成，请稍后重试。（Connection refused）');
});

test('{"cancelled": true} is a quiet no-op: the state returns to what it was', async () => {
  const h = harness({data: {text: '上一份'}});
  assert.deepEqual(await h.task.run(() => Promise.resolve({cancelled: true})), {cancelled: true});
  assert.deepEqual(h.state, {status: 'ready', data: {text: '上一份'}, error: '', slow: false});

  const failed = harness();
  await failed.task.run(() => Promise.reject(new Error('一次归档一份纪要，请只选一个文件。')));
  await failed.task.run(() => Promise.resolve({cancelled: true}));
  assert.equal(failed.state.status, 'error');
  assert.equal(failed.state.error, '一次归档一份纪要，请只选一个文件。');
  const fresh = harness();
  await fresh.task.run(() => Promise.resolve({cancelled: true}));
  assert.equal(fresh.state.status, 'idle');
});

test('a newer call supersedes an older one; a dropped call changes nothing', async () => {
  const h = harness();
  const first = deferred();
  const a = h.task.run(() => first.promise);
  const b = h.task.run(() => Promise.resolve('second'));
  assert.deepEqual(await b, {ok: true, value: 'second'});
  first.resolve('first');
  assert.deepEqual(await a, {stale: true});
  assert.equal(h.state.data, 'second');

  const late = deferred();
  const c = h.task.run(() => late.promise);
  h.task.drop();
  late.reject(new Error('请重新登录。'));
  assert.deepEqual(await c, {stale: true});
  assert.equal(h.state.status, 'loading', 'the dropped call leaves its screen to whatever replaced it');
});

test('an exclusive task refuses a second submit while the first runs', async () => {
  const h = harness({exclusive: true});
  const reply = deferred();
  let sent = 0;
  const first = h.task.run(() => { sent += 1; return reply.promise; });
  assert.equal(h.task.busy, true);
  assert.deepEqual(await h.task.run(() => { sent += 1; return 'again'; }), {busy: true});
  reply.resolve(true);
  await first;
  assert.equal(sent, 1);
  assert.equal(h.task.busy, false);
  // Once it has answered, the button works again, also after a failure.
  await h.task.run(() => Promise.reject(new Error('请先保存草稿。')));
  assert.deepEqual(await h.task.run(() => 'ok'), {ok: true, value: 'ok'});
});

test('a call that throws before returning a promise is a failure, not an exception', async () => {
  const h = harness();
  const outcome = await h.task.run(() => { throw new Error('请选择 15 MiB 以内的活动资料。'); });
  assert.deepEqual(outcome, {ok: false, error: '请选择 15 MiB 以内的活动资料。'});
});
