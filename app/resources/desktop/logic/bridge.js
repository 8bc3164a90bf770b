// The page's one way to the native host. Every request is posted to the
// host's "desktop" handler (through window.korvidDesktop, which the host's
// bridge gives the page) and gets exactly one reply: a value, or an error
// whose message is the Chinese sentence to show. The module also holds the
// signed-in account, so that "session" is always asked first and "owner"
// travels with every account-bound operation.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'bridge', function () {
  'use strict';

  // The host's operations, and whether each carries "owner".
  const OPERATIONS = Object.freeze({
    session: false, logout: false, appearance: false, permissions: false, deviceStatus: false,
    inspectOwnWindow: false, webWorkspace: false,
    webCompany: true, webWechatReview: true, eventFile: true, meetingFile: true,
    workspaceOpen: true, projectCreate: true, taskSave: true, taskAttach: true, taskConfirm: true,
    taskSource: true, taskStates: true, taskStatus: true, taskStart: true, taskReview: true,
    sales: true,
  });

  // The sales desk's actions, all carried by the operation "sales".
  const SALES_ACTIONS = Object.freeze([
    'agentStatus', 'agentTurn', 'library', 'companySave', 'partners', 'imports', 'opportunities',
    'outcomes', 'opportunity', 'opportunitySave', 'followup', 'stage', 'ecoProfiles', 'ecoProfile',
    'ecoSave', 'eventSessions', 'eventSession', 'eventCheck', 'eventConfirm', 'eventConvert',
    'eventNote', 'minutes', 'minute', 'archive', 'rules', 'ruleSave', 'trial', 'deliveries',
    'delivery', 'feedback', 'evidence', 'conversations', 'conversation', 'turnSave', 'ask',
  ]);

  const OUTSIDE_APP = '请在 Korvid 桌面应用中打开工作台。';
  const UNSUPPORTED = '不支持的操作。';
  const UNSUPPORTED_SALES = '不支持此销售操作。';

  function toError(error) {
    if (error instanceof Error) return error;
    return new Error(typeof error === 'string' && error ? error : '操作未完成，请重试。');
  }

  // `post(body)` hands one message to the host and returns a promise of its
  // reply; by default through the korvidDesktop the host gives the page.
  function createBridge(post) {
    const send = post || (body => {
      const host = typeof window !== 'undefined' && window.korvidDesktop;
      return host ? host.post(body) : Promise.reject(new Error(OUTSIDE_APP));
    });
    let account = null;       // the "session" reply
    let asking = null;        // the "session" request in flight
    const seenOps = new Set();
    const seenActions = new Set();
    const listeners = new Set();

    function raw(body) {
      seenOps.add(body.op);
      if (body.op === 'sales' && typeof body.action === 'string') seenActions.add(body.action);
      let reply;
      try { reply = send(body); } catch (error) { return Promise.reject(toError(error)); }
      return Promise.resolve(reply).catch(error => { throw toError(error); });
    }

    // The account comes from "session"; concurrent callers share one request.
    function session(fresh) {
      if (account && !fresh) return Promise.resolve(account);
      if (!asking) {
        asking = raw({op: 'session'}).then(reply => {
          if (!reply || typeof reply.id !== 'string' || !reply.id) throw new Error('无法确认当前账号，请重新登录。');
          account = reply;
          for (const listener of listeners) listener(account);
          return reply;
        }).finally(() => { asking = null; });
      }
      return asking;
    }

    async function call(op, fields) {
      if (!Object.prototype.hasOwnProperty.call(OPERATIONS, op)) throw new Error(UNSUPPORTED);
      if (op === 'session') return session(true);
      const body = Object.assign({}, fields || {}, {op});
      if (OPERATIONS[op]) body.owner = (await session()).id;
      const reply = await raw(body);
      if (op === 'logout') forget();
      return reply;
    }

    function sales(action, fields) {
      if (!SALES_ACTIONS.includes(action)) return Promise.reject(new Error(UNSUPPORTED_SALES));
      return call('sales', Object.assign({}, fields || {}, {action}));
    }

    function forget() {
      account = null;
      for (const listener of listeners) listener(null);
    }

    return {
      call, sales, session, forget,
      get account() { return account; },
      get owner() { return account ? account.id : null; },
      onAccount(listener) { listeners.add(listener); return () => listeners.delete(listener); },
      // What the page has asked of the host so far (for the reachability check).
      seen() { return {ops: [...seenOps].sort(), actions: [...seenActions].sort()}; },
    };
  }

  return {OPERATIONS, SALES_ACTIONS, createBridge, toError};
});
