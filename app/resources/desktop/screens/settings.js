// 设置: theme, permissions and device status, window inspection, the
// service's web pages, WeChat review, and signing out.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, Loaded, ActionButton, ErrorNote, Empty, Toolbar, Badge, useState} = K.ui;
  const F = K.format;

  const THEMES = [['system', '跟随系统'], ['light', '浅色'], ['dark', '深色']];

  // The service's web pages the host may open, in its order.
  const WEB_PAGES = [
    ['want', '商机工作台'], ['tasks', '任务中心'], ['home', '网页版首页'], ['library', '关系库'],
    ['partners', '合作伙伴'], ['events', '活动'], ['skills', '技能'], ['notices', '通知'],
    ['feedback', '意见反馈'], ['guide', '使用指南'], ['me', '个人资料'], ['settings', '网页版设置'],
    ['library/ai', '智能补全'], ['library/import', '导入企业'], ['library/corrections', '信息纠错'],
    ['library/ai/import-history', '智能导入记录'],
  ];

  // An import that came from a WeChat snapshot offers its review.
  function reviewOf(record) {
    const snapshot = record.snapshotID || record.snapshot;
    const batch = record.batchID || record.batch;
    return typeof snapshot === 'string' && typeof batch === 'string' ? {id: snapshot, batch} : null;
  }

  function Appearance({desk}) {
    const theme = useLoad('appearance', () => desk.bridge.call('appearance'));
    const change = useAction();
    const choose = value => change.run(() => desk.bridge.call('appearance', {value})).then(outcome => {
      if (outcome.ok) theme.replace(outcome.value);
    });
    const current = theme.data ? theme.data.value : null;
    return html`<section class="card" aria-labelledby="set-theme">
      <div class="card-head"><h3 id="set-theme">外观</h3>${change.busy && change.slow ? html`<${K.ui.Spinner} />` : null}</div>
      <${Loaded} state=${theme}>${() => html`<div role="radiogroup" aria-labelledby="set-theme" class="filters">
        ${THEMES.map(([value, label]) => html`<label class="check" key=${value}>
          <input type="radio" name="theme" value=${value} checked=${current === value} disabled=${change.busy}
            onChange=${() => choose(value)} />${label}</label>`)}
      </div>`}<//>
      <${ErrorNote} text=${change.status === 'error' ? change.error : ''} />
    </section>`;
  }

  function Device({desk}) {
    const status = useLoad('deviceStatus', () => desk.bridge.call('deviceStatus'));
    const inspect = useAction();
    const yes = ok => ok ? html`<${Badge} tone="good">已允许</${Badge}>` : html`<${Badge} tone="warn">未允许</${Badge}>`;
    return html`<section class="card" aria-labelledby="set-device">
      <div class="card-head"><h3 id="set-device">权限与设备</h3></div>
      <${Loaded} state=${status}>${s => html`<dl class="kv">
        <dt>辅助功能</dt><dd>${yes(s.accessibility)}</dd>
        <dt>屏幕录制</dt><dd>${yes(s.screen)}</dd>
      </dl>`}<//>
      <div class="toolbar-actions" style="margin-top:10px">
        <${ActionButton} run=${() => desk.bridge.call('permissions')} onDone=${() => status.reload()}>请求授权</${ActionButton}>
        <${ActionButton} run=${() => desk.bridge.call('deviceStatus')} onDone=${value => status.replace(value)}>重新检查</${ActionButton}>
      </div>
      <h4 style="margin-top:14px">窗口检查</h4>
      <p class="muted small">读取本窗口的辅助功能结构，确认自动化助手能看到界面。</p>
      <div class="toolbar-actions" style="margin-top:6px">
        <${ActionButton} action=${inspect} run=${() => desk.bridge.call('inspectOwnWindow')}>检查本窗口</${ActionButton}>
        ${inspect.status === 'ready' && inspect.data ? html`<span>共读到 ${F.count(inspect.data.elements)} 个界面元素。</span>` : null}
      </div>
      <${ErrorNote} text=${inspect.status === 'error' ? inspect.error : ''} />
    </section>`;
  }

  function WebPages({desk}) {
    const open = useAction();
    const [which, setWhich] = useState('');
    const go = route => { setWhich(route); open.run(() => desk.bridge.call('webWorkspace', {route})); };
    return html`<section class="card" aria-labelledby="set-web">
      <div class="card-head"><h3 id="set-web">网页版功能</h3><span class="muted small">在工作台上层打开，关闭后回到这里</span></div>
      <div class="filters">
        ${WEB_PAGES.map(([route, label]) => html`<button type="button" key=${route} disabled=${open.busy}
          aria-busy=${open.busy && which === route ? 'true' : 'false'} onClick=${() => go(route)}>
          ${open.busy && open.slow && which === route ? html`<${K.ui.Spinner} />` : null}${label}</button>`)}
      </div>
      <${ErrorNote} text=${open.status === 'error' ? open.error : ''} />
    </section>`;
  }

  function Review({desk}) {
    const imports = useLoad('imports', () => desk.bridge.sales('imports'));
    const open = useAction();
    return html`<section class="card" aria-labelledby="set-review">
      <div class="card-head"><h3 id="set-review">微信差异预览</h3></div>
      <${Loaded} state=${imports}
        isEmpty=${d => !(d.items || []).some(reviewOf)}
        emptyView=${html`<p class="muted">目前没有来自微信快照的导入批次。在网页版“导入企业”导入微信名片后，可在这里预览差异。</p>`}>
        ${d => html`<ul class="list">${(d.items || []).filter(reviewOf).map(item => html`<li key=${item.id}>
          <div class="grow"><div class="row-title">${item.fileName}</div><div class="row-meta">${F.dateTime(item.at)}</div></div>
          <${ActionButton} action=${open} run=${() => desk.bridge.call('webWechatReview', reviewOf(item))}>预览差异</${ActionButton}>
        </li>`)}</ul>`}
      <//>
      <${ErrorNote} text=${open.status === 'error' ? open.error : ''} />
    </section>`;
  }

  function Account({desk}) {
    const who = desk.account.value;
    return html`<section class="card" aria-labelledby="set-account">
      <div class="card-head"><h3 id="set-account">账号</h3></div>
      <dl class="kv"><dt>当前账号</dt><dd>${who ? who.label : ''}</dd></dl>
      <div class="toolbar-actions" style="margin-top:10px">
        <${ActionButton} kind="danger" run=${() => desk.bridge.call('logout')}>退出登录</${ActionButton}>
      </div>
    </section>`;
  }

  function Settings({desk}) {
    return html`<div class="page">
      <${Toolbar} title="设置" />
      <div class="grid">
        <${Appearance} desk=${desk} />
        <${Account} desk=${desk} />
      </div>
      <${Device} desk=${desk} />
      <${WebPages} desk=${desk} />
      <${Review} desk=${desk} />
    </div>`;
  }

  K.screens.settings = Settings;
  K.settings = {WEB_PAGES, reviewOf};
})();
