// The Korvid web application: one page per route in the URL fragment, all
// data from the service with the token kept in local storage.
(() => {
  const TOKEN = 'korvid.token';
  const ROUTES = [
    ['home', '首页'], ['want', '商机'], ['tasks', '远程任务'], ['library', '关系库'], ['library/ai', '智能问答', 1],
    ['library/import', '导入名单', 1], ['library/corrections', '信息纠错', 1], ['library/ai/import-history', '导入记录', 1],
    ['partners', '合作伙伴'], ['events', '活动'], ['skills', '技能'], ['notices', '通知'], ['feedback', '交付反馈'],
    ['guide', '使用指南'], ['me', '我的账号'], ['settings', '设置'],
  ];
  const SKILLS = ['销售问答', '会议纪要整理', '行动项提取', '初筛企业与联系人', '关键人映射', '阶段证据核验', '合作试点测算', '项目周报'];
  const page = document.getElementById('page');
  let renderCount = 0;

  const esc = (value) => String(value ?? '').replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c]));
  const money = (n) => '¥' + Number(n || 0).toLocaleString('zh-CN');

  class SignedOut extends Error {}

  function signOutLocally(message) {
    localStorage.removeItem(TOKEN);
    document.getElementById('account').textContent = '';
    page.innerHTML = `<div class="panel"><p>${esc(message)}</p><p><a href="/">重新登录</a></p></div>`;
  }

  async function api(path, options = {}) {
    const token = localStorage.getItem(TOKEN);
    if (!token) throw new SignedOut('尚未登录。');
    const headers = { Authorization: 'Bearer ' + token, 'x-korvid-privacy-version': '2' };
    if (options.body !== undefined) headers['Content-Type'] = 'application/json';
    const response = await fetch(path, {
      method: options.method || (options.body !== undefined ? 'POST' : 'GET'), headers,
      body: options.body !== undefined ? JSON.stringify(options.body) : undefined, cache: 'no-store', redirect: 'error',
    });
    const body = await response.json().catch(() => ({}));
    if (response.status === 401) throw new SignedOut(body.message || '会话已失效，请重新登录。');
    if (!response.ok) throw new Error(body.message || `服务器未能完成请求（${response.status}）。`);
    return Array.isArray(body) ? { items: body } : body;
  }

  function table(rows, columns, empty = '暂无数据。') {
    if (!rows.length) return `<p>${empty}</p>`;
    const head = columns.map(([label]) => `<th>${esc(label)}</th>`).join('');
    const body = rows.map((row) => '<tr>' + columns.map(([, cell]) => `<td>${cell(row)}</td>`).join('') + '</tr>').join('');
    return `<table><thead><tr>${head}</tr></thead><tbody>${body}</tbody></table>`;
  }

  // A form whose submit runs `action` and re-renders the page on success.
  function bindForm(id, action) {
    const form = document.getElementById(id);
    if (!form) return;
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const error = form.querySelector('.error');
      if (error) error.textContent = '';
      try { await action(new FormData(form), form); render(); } catch (failure) {
        if (failure instanceof SignedOut) return signOutLocally(failure.message);
        if (error) error.textContent = failure.message;
      }
    });
  }

  async function download(kind, id) {
    const link = await api('/v1/downloads', { body: id ? { kind, id } : { kind } });
    location.href = link.url; // answered as an attachment, so the page stays
  }

  const pages = {
    async home() {
      const [o, notices] = await Promise.all([api('/v1/desktop/sales/outcomes'), api('/v1/notices')]);
      return `<div class="stats">
        <div class="stat">赢单<b>${o.wonCount} 个</b>${money(o.wonAmount)}</div>
        <div class="stat">进行中<b>${o.openCount} 个</b>${money(o.openAmount)}</div>
        <div class="stat">加权预测<b>${money(o.weightedAmount)}</b></div>
        <div class="stat">赢率<b>${Math.round(o.winRate * 100)}%</b></div></div>
        <div class="panel"><h3>最新通知</h3>${table(notices.items.slice(0, 3), [['时间', (n) => esc(n.at)], ['内容', (n) => esc(n.text)]])}</div>
        <div class="panel"><h3>各阶段</h3>${table(o.byStage, [['阶段', (s) => esc(s.label)], ['数量', (s) => s.count], ['金额', (s) => money(s.amount)]])}</div>`;
    },
    async want() {
      const list = await api('/v1/want/opportunities?bucket=all');
      return `<h2>商机</h2>${table(list.items, [['商机', (o) => esc(o.title)], ['客户', (o) => esc(o.companyName)],
        ['阶段', (o) => `<span class="tag">${esc(o.stageLabel)}</span>`], ['金额', (o) => money(o.amount)],
        ['下一步', (o) => esc(o.nextStep)], ['跟进', (o) => `<form class="row followup" data-id="${esc(o.id)}"><input name="note" placeholder="跟进记录" required><button>记录</button></form>`]])}
        <p class="error" id="wantError"></p>`;
    },
    async tasks() {
      const briefs = await api('/v1/desktop/briefs');
      const label = { unstarted: '未开始', running: '执行中', review: '待审阅', done: '已完成' };
      return `<h2>远程任务</h2><p>在桌面端确认任务并开始执行后，任务会出现在这里。</p>
        ${table(briefs.items, [['任务', (b) => esc(b.title || b.id)], ['状态', (b) => esc(label[b.state] || b.state)],
          ['进度', (b) => (b.progress ?? 0) + '%'], ['结果', (b) => b.result ? `<pre>${esc(b.result)}</pre>` : '']], '还没有远程任务。')}`;
    },
    async library() {
      const d = await api('/v1/library?view=directory');
      const kinds = { customer: '客户', prospect: '潜在客户', partner: '伙伴' };
      return `<div class="row"><h2>关系库</h2><button type="button" id="export">导出客户名录</button></div>
        <p>共 ${d.companies.length} 家企业、${d.contacts.length} 位联系人（同步时间 ${esc(d.serverTime)}）。</p>
        ${table(d.companies.slice(0, 200), [['企业', (c) => esc(c.name)], ['城市', (c) => esc(c.city)], ['行业', (c) => esc(c.industry)],
          ['类型', (c) => esc(kinds[c.kind] || c.kind)], ['目标客户', (c) => (c.isTarget ? '是' : '否')]])}`;
    },
    async 'library/ai'() {
      return `<h2>智能问答</h2><form id="ask" class="panel"><label for="q">问一个关于客户或商机的问题</label>
        <textarea id="q" name="question" rows="3" required></textarea><p class="error"></p><button>提问</button></form><div id="answer"></div>`;
    },
    async 'library/import'() {
      return `<h2>导入名单</h2><form id="import" class="panel"><label for="file">名单名称</label><input id="file" name="fileName" value="手工录入名单" required>
        <label for="rows">每行一家企业：名称,城市,行业</label><textarea id="rows" name="rows" rows="8" required></textarea>
        <p class="error"></p><button>导入</button></form>`;
    },
    async 'library/corrections'() {
      const d = await api('/v1/library?view=directory');
      const unsure = d.companies.filter((c) => c.unsure);
      return `<h2>信息纠错</h2><p>以下企业的信息待核实。</p>${table(unsure, [['企业', (c) => esc(c.name)], ['简介', (c) => esc(c.introNote)],
        ['', (c) => `<button type="button" class="plain confirm" data-id="${esc(c.id)}">确认无误</button>`]], '没有待核实的企业。')}`;
    },
    async 'library/ai/import-history'() {
      const list = await api('/v1/library/import-history');
      return `<h2>导入记录</h2>${table(list.items, [['文件', (r) => esc(r.fileName)], ['时间', (r) => esc(r.at)], ['操作人', (r) => esc(r.by)],
        ['新增', (r) => r.added], ['更新', (r) => r.updated], ['跳过', (r) => r.skipped]])}`;
    },
    async partners() {
      const [companies, profiles] = await Promise.all([api('/v1/partners'), api('/v1/desktop/commercial/partners')]);
      return `<h2>合作伙伴</h2><div class="panel"><h3>生态伙伴</h3>${table(profiles.items, [['伙伴', (p) => esc(p.name)], ['级别', (p) => esc(p.tier)],
        ['区域', (p) => esc((p.regions || []).join('、'))], ['能力', (p) => esc((p.capabilities || []).join('、'))]])}</div>
        <div class="panel"><h3>伙伴企业</h3>${table(companies.items, [['企业', (c) => esc(c.name)], ['城市', (c) => esc(c.city)], ['联系人', (c) => c.contactCount]])}</div>`;
    },
    async events() {
      const [events, sessions] = await Promise.all([api('/v1/events'), api('/v1/desktop/commercial/sessions')]);
      return `<h2>活动</h2>${table(events.items, [['活动', (e) => esc(e.name)], ['日期', (e) => esc(e.date)], ['地点', (e) => esc(e.city + ' ' + e.venue)]])}
        <h3>场次</h3>${table(sessions.items, [['场次', (s) => esc(s.eventName + ' · ' + s.title)], ['参会人', (s) => s.attendees.length],
          ['已确认', (s) => s.attendees.filter((a) => a.status !== 'pending').length]])}`;
    },
    async skills() {
      return `<h2>技能</h2><p>在桌面端创建任务时可以选择以下技能：</p><ul>${SKILLS.map((s) => `<li>${esc(s)}</li>`).join('')}</ul>`;
    },
    async notices() {
      const list = await api('/v1/notices');
      return `<h2>通知</h2>${table(list.items, [['时间', (n) => esc(n.at)], ['内容', (n) => esc(n.text)], ['状态', (n) => (n.read ? '已读' : '未读')]])}`;
    },
    async feedback() {
      const list = await api('/v1/desktop/sales/deliveries');
      return `<h2>交付反馈</h2>${table(list.items, [['交付物', (d) => esc(d.title)], ['客户', (d) => esc(d.companyName)],
        ['反馈', (d) => d.feedback ? `${'★'.repeat(d.feedback.rating)} ${esc(d.feedback.comment)}` : '暂无'],
        ['', (d) => `<button type="button" class="plain download" data-id="${esc(d.id)}">下载</button>`]])}<p class="error" id="feedbackError"></p>`;
    },
    async guide() {
      return `<h2>使用指南</h2><div class="panel"><ol>
        <li>在桌面端“关系库”查看企业与联系人，修改会同步到这里。</li><li>在“商机”记录跟进，推进阶段。</li>
        <li>在桌面端确认任务后开始执行，完成后在桌面端审阅结果。</li><li>本机体验服务的账号：demo@korvid.cn ／ korvid123，sales2@korvid.cn ／ korvid456。</li></ol></div>`;
    },
    async me() {
      const me = await api('/v1/me');
      return `<h2>我的账号</h2><div class="panel"><p>邮箱：${esc(me.email)}</p><p>账号标识：${esc(me.id)}</p>
        <form id="rename"><label for="name">显示名称</label><input id="name" name="name" value="${esc(me.name)}" maxlength="40" required>
        <p class="error"></p><button>保存</button></form></div>`;
    },
    async settings() {
      return `<h2>设置</h2><div class="panel"><p>隐私协议版本：2</p><p>退出后需要重新登录本机体验服务。</p>
        <button type="button" id="settingsSignOut">退出登录</button></div>`;
    },
  };

  function wire(route) {
    document.querySelectorAll('form.followup').forEach((form) => form.addEventListener('submit', async (event) => {
      event.preventDefault();
      try { await api(`/v1/want/opportunities/${form.dataset.id}/followup`, { method: 'PATCH', body: { note: form.note.value } }); render(); } catch (failure) {
        if (failure instanceof SignedOut) return signOutLocally(failure.message);
        document.getElementById('wantError').textContent = failure.message;
      }
    }));
    const exportButton = document.getElementById('export');
    if (exportButton) exportButton.addEventListener('click', () => download('library').catch((f) => alert(f.message)));
    document.querySelectorAll('button.download').forEach((b) => b.addEventListener('click', () =>
      download('delivery', b.dataset.id).catch((f) => { document.getElementById('feedbackError').textContent = f.message; })));
    document.querySelectorAll('button.confirm').forEach((b) => b.addEventListener('click', async () => {
      await api(`/v1/companies/${b.dataset.id}`, { method: 'PUT', body: { unsure: false } }).catch(() => {}); render();
    }));
    const settingsSignOut = document.getElementById('settingsSignOut');
    if (settingsSignOut) settingsSignOut.addEventListener('click', signOut);
    bindForm('rename', (data) => api('/v1/me', { method: 'PUT', body: { name: data.get('name') } }));
    bindForm('import', (data) => {
      const companies = String(data.get('rows')).split('\n').map((line) => line.split(/[,，]/).map((s) => s.trim()))
        .filter((cells) => cells[0]).map(([name, city, industry]) => ({ name, ...(city ? { city } : {}), ...(industry ? { industry } : {}) }));
      return api('/v1/library/import', { body: { fileName: data.get('fileName'), companies } }).then(() => { location.hash = 'library/ai/import-history'; });
    });
    const ask = document.getElementById('ask');
    if (ask) ask.addEventListener('submit', async (event) => {
      event.preventDefault();
      try {
        const answer = await api('/v1/want/ask', { body: { question: ask.question.value } });
        document.getElementById('answer').innerHTML = `<div class="panel"><p>${esc(answer.answer)}</p></div>`;
      } catch (failure) {
        if (failure instanceof SignedOut) return signOutLocally(failure.message);
        ask.querySelector('.error').textContent = failure.message;
      }
    });
  }

  async function signOut() {
    try { await api('/v1/sign-out', { method: 'POST' }); } catch (ignored) { /* the local sign-out is what counts */ }
    signOutLocally('已退出登录。');
  }

  function currentRoute() {
    try { return decodeURIComponent(location.hash.slice(1)) || 'home'; } catch (error) { return location.hash.slice(1); }
  }

  async function render() {
    const route = currentRoute();
    const run = ++renderCount;
    document.querySelectorAll('#nav a').forEach((a) => a.classList.toggle('active', a.dataset.route === route));
    const entry = ROUTES.find(([name]) => name === route);
    document.getElementById('title').textContent = entry ? entry[1] : 'Korvid';
    if (!localStorage.getItem(TOKEN)) return signOutLocally('尚未登录，请先登录。');
    if (!pages[route]) { page.innerHTML = '<div class="panel"><p>没有这个页面。</p><p><a href="#home">回到首页</a></p></div>'; return; }
    page.textContent = '正在加载…';
    try {
      const html = await pages[route]();
      if (run !== renderCount) return; // a newer route was chosen meanwhile
      page.innerHTML = html;
      wire(route);
    } catch (failure) {
      if (failure instanceof SignedOut) return signOutLocally(failure.message);
      if (run === renderCount) page.innerHTML = `<div class="panel error">${esc(failure.message)}</div>`;
    }
  }

  document.getElementById('nav').innerHTML = ROUTES.map(([route, label, sub]) =>
    `<a href="#${route}" data-route="${route}"${sub ? ' class="sub"' : ''}>${esc(label)}</a>`).join('');
  document.getElementById('signOut').addEventListener('click', signOut);
  window.addEventListener('hashchange', render);
  api('/v1/me').then((me) => { document.getElementById('account').textContent = me.name || me.email; }).catch((failure) => {
    if (failure instanceof SignedOut) signOutLocally(failure.message);
  });
  render();
})();
