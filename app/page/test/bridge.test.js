'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {createBridge, OPERATIONS, SALES_ACTIONS} = require('../../resources/desktop/logic/bridge.js');

// A fake host: records every body and answers from `answers[op]`.
function fakeHost(answers) {
  const posted = [];
  const post = body => {
    posted.push(body);
    const answer = answers[body.op];
    if (answer === undefined) return Promise.reject(new Error('不支持的操作。'));
    return typeof answer === 'function' ? answer(body) : Promise.resolve(answer);
  };
  return {posted, post};
}

const SESSION = {id: 'acct-demo', label: 'demo@korvid.cn', destination: 'home'};

test('asks "session" first, once, and sends "owner" only with account-bound operations', async () => {
  const host = fakeHost({session: SESSION, workspaceOpen: {projects: [], records: []}, webWorkspace: {ok: true},
    sales: {items: []}, deviceStatus: {accessibility: true, screen: false}});
  const bridge = createBridge(host.post);
  await Promise.all([bridge.call('workspaceOpen'), bridge.sales('minutes'), bridge.call('deviceStatus')]);
  await bridge.call('webWorkspace', {route: 'library'});
  assert.deepEqual(host.posted.map(body => body.op), ['session', 'deviceStatus', 'workspaceOpen', 'sales', 'webWorkspace']);
  const byOp = Object.fromEntries(host.posted.map(body => [body.op, body]));
  assert.equal(byOp.workspaceOpen.owner, 'acct-demo');
  assert.deepEqual(byOp.sales, {action: 'minutes', op: 'sales', owner: 'acct-demo'});
  assert.equal('owner' in byOp.deviceStatus, false);
  assert.deepEqual(byOp.webWorkspace, {route: 'library', op: 'webWorkspace'});
});

test('a caller cannot override "op" or "owner"', async () => {
  const host = fakeHost({session: SESSION, sales: {}});
  const bridge = createBridge(host.post);
  await bridge.sales('partners', {op: 'logout', owner: 'someone-else', action: 'ask'});
  assert.deepEqual(host.posted[1], {op: 'sales', owner: 'acct-demo', action: 'partners'});
});

test('refuses operations and actions outside the host\'s tables without posting', async () => {
  const host = fakeHost({session: SESSION});
  const bridge = createBridge(host.post);
  await assert.rejects(bridge.call('deleteEverything'), {message: '不支持的操作。'});
  await assert.rejects(bridge.sales('Minutes'), {message: '不支持此销售操作。'});
  assert.equal(host.posted.length, 0);
});

test('host errors arrive as Error with the host\'s sentence; a failed session is asked again', async () => {
  let sessions = 0;
  const host = fakeHost({
    session: () => (++sessions === 1 ? Promise.reject(new Error('请重新登录。')) : Promise.resolve(SESSION)),
    sales: () => Promise.reject('账号已切换。'),
  });
  const bridge = createBridge(host.post);
  await assert.rejects(bridge.sales('rules'), {message: '请重新登录。'});
  await assert.rejects(bridge.sales('rules'), {message: '账号已切换。'});
  assert.equal(sessions, 2);
});

test('a session reply without an id is refused, and nothing account-bound is sent', async () => {
  const host = fakeHost({session: {label: 'x'}, sales: {}});
  const bridge = createBridge(host.post);
  await assert.rejects(bridge.sales('rules'), /账号/);
  assert.deepEqual(host.posted.map(body => body.op), ['session']);
});

test('signing out forgets the account: the next call asks "session" again', async () => {
  const host = fakeHost({session: SESSION, logout: true, sales: {}});
  const bridge = createBridge(host.post);
  const seen = [];
  bridge.onAccount(account => seen.push(account && account.id));
  await bridge.sales('rules');
  await bridge.call('logout');
  assert.equal(bridge.owner, null);
  await bridge.sales('rules');
  assert.deepEqual(host.posted.map(body => body.op), ['session', 'sales', 'logout', 'session', 'sales']);
  assert.deepEqual(seen, ['acct-demo', null, 'acct-demo']);
});

test('outside the application the page says so instead of failing silently', async () => {
  const bridge = createBridge();
  await assert.rejects(bridge.call('deviceStatus'), {message: '请在 Korvid 桌面应用中打开工作台。'});
});

test('records what was asked, for the reachability check', async () => {
  const host = fakeHost({session: SESSION, sales: {}, appearance: {value: 'light'}});
  const bridge = createBridge(host.post);
  await bridge.sales('ask', {body: {question: '?'}});
  await bridge.call('appearance');
  assert.deepEqual(bridge.seen(), {ops: ['appearance', 'sales', 'session'], actions: ['ask']});
  assert.equal(new Set(SALES_ACTIONS).size, SALES_ACTIONS.length);
  assert.ok(Object.keys(OPERATIONS).includes('sales'));
});
