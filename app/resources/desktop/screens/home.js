// 首页: what needs attention today, at a glance.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, Loaded, Empty, Link, Badge, Toolbar, ErrorNote, useEffect, useState} = K.ui;
  const F = K.format;
  const T = K.tasks;

  const OPEN = new Set(['lead', 'contact', 'qualify', 'proposal', 'negotiation']);

  function dueTone(days) {
    if (days === null) return '';
    if (days < 0) return 'bad';
    if (days <= 1) return 'warn';
    return '';
  }

  // The chart's script arrives on first use.
  function Pipeline({stages}) {
    const [ready, setReady] = useState(!!K.chart);
    const [error, setError] = useState('');
    useEffect(() => {
      if (!ready) K.desk.loadScript('desktop/chart.js').then(() => setReady(true), e => setError(e.message));
    }, []);
    if (error) return html`<${ErrorNote} text=${error} />`;
    return ready ? html`<${K.chart.PipelineChart} stages=${stages} height=${190} />` : html`<div class="chart"></div>`;
  }

  async function loadBriefs(desk) {
    const workspace = await desk.bridge.call('workspaceOpen');
    const records = Array.isArray(workspace.records) ? workspace.records : [];
    const confirmed = records.filter(record => record.confirmed);
    const replies = [];
    for (const ids of T.stateBatches(confirmed)) replies.push(await desk.bridge.call('taskStates', {ids}));
    const states = T.statesById(replies);
    return {records, drafts: records.filter(record => !record.confirmed).length,
      briefs: confirmed.map(record => ({record, state: states.get(record.id.toLowerCase()) || null}))};
  }

  const BRIEF_LABELS = {unstarted: ['未开始', ''], running: ['执行中', 'accent'], review: ['待审阅', 'warn'], done: ['已完成', 'good']};

  function Home({desk}) {
    const who = desk.account.value;
    const opportunities = useLoad('opportunities', () => desk.bridge.sales('opportunities'));
    const outcomes = useLoad('outcomes', () => desk.bridge.sales('outcomes'));
    const deliveries = useLoad('deliveries', () => desk.bridge.sales('deliveries'));
    const briefs = useLoad('home.briefs', () => loadBriefs(desk));
    const now = new Date();
    useEffect(() => { desk.mark('homeShown'); }, []);
    useEffect(() => {
      if (opportunities.data && outcomes.data) desk.mark('homeDrawn');
    }, [opportunities.data !== null && outcomes.data !== null]);
    const hour = now.getHours();
    const greeting = hour < 11 ? '早上好' : hour < 14 ? '中午好' : hour < 18 ? '下午好' : '晚上好';

    return html`<div class="page">
      <${Toolbar} title=${who ? `${greeting}，${who.label}` : greeting} sub=${`${now.getMonth() + 1}月${now.getDate()}日`}>
        <button type="button" onClick=${() => desk.salesDesk.invalidate()}>刷新</button>
      <//>

      <${Loaded} state=${outcomes} label="正在读取业绩…">${o => html`<div class="stats">
        <div class="stat"><div class="stat-label">进行中商机</div><div class="stat-value">${F.count(o.openCount)} 个</div></div>
        <div class="stat"><div class="stat-label">在谈金额</div><div class="stat-value">${F.money(o.openAmount)}</div></div>
        <div class="stat"><div class="stat-label">加权预测</div><div class="stat-value">${F.money(o.weightedAmount)}</div></div>
        <div class="stat"><div class="stat-label">赢单率</div><div class="stat-value">${F.percent(o.winRate)}</div></div>
      </div>`}<//>

      <div class="grid">
        <section class="card" aria-labelledby="home-due">
          <div class="card-head"><h3 id="home-due">待跟进商机</h3><${Link} to="opportunities">全部商机</${Link}></div>
          <${Loaded} state=${opportunities}
            isEmpty=${d => !(d.items || []).some(item => OPEN.has(item.stage))}
            emptyView=${html`<${Empty} title="没有进行中的商机" hint="在“商机”里新建一个，或从活动名单转化线索。" />`}>
            ${d => html`<ul class="list">${(d.items || []).filter(item => OPEN.has(item.stage))
              .sort((a, b) => String(a.dueDate || '9').localeCompare(String(b.dueDate || '9'))).slice(0, 6)
              .map(item => {
                const days = F.daysUntil(item.dueDate, now);
                return html`<li key=${item.id}><div class="grow">
                  <div class="row-title clip"><${Link} to=${K.router.routeOf('opportunity', item.id)}>${item.title}</${Link}></div>
                  <div class="row-meta clip">${item.nextStep || '未填写下一步'}</div></div>
                  <${Badge} tone=${dueTone(days)}>${F.dueText(item.dueDate, now)}</${Badge}></li>`;
              })}</ul>`}
          <//>
        </section>

        <section class="card" aria-labelledby="home-pipeline">
          <div class="card-head"><h3 id="home-pipeline">各阶段商机金额</h3><span class="muted small">万元</span></div>
          <${Loaded} state=${outcomes}
            isEmpty=${o => !(o.byStage || []).some(stage => stage.count > 0)}
            emptyView=${html`<${Empty} title="还没有商机" hint="新建商机后，这里按阶段显示金额。" />`}>
            ${o => html`<${Pipeline} stages=${(o.byStage || []).filter(s => s.stage !== 'lost')} />`}
          <//>
        </section>

        <section class="card" aria-labelledby="home-deliveries">
          <div class="card-head"><h3 id="home-deliveries">最近交付</h3><${Link} to="deliveries">全部交付</${Link}></div>
          <${Loaded} state=${deliveries}
            isEmpty=${d => !(d.items || []).length}
            emptyView=${html`<${Empty} title="还没有交付物" hint="方案、报价发出后会出现在这里。" />`}>
            ${d => html`<ul class="list">${(d.items || []).slice(0, 5).map(item => html`<li key=${item.id}>
              <div class="grow"><div class="row-title clip"><${Link} to=${K.router.routeOf('delivery', item.id)}>${item.title}</${Link}></div>
              <div class="row-meta clip">${item.companyName || ''} · ${F.day(item.sentAt, now)}</div></div>
              ${item.feedback ? html`<${Badge} tone="good">已反馈</${Badge}>` : item.status === 'draft' ? html`<${Badge}>草稿</${Badge}>` : html`<${Badge} tone="warn">待反馈</${Badge}>`}
            </li>`)}</ul>`}
          <//>
        </section>

        <section class="card" aria-labelledby="home-briefs">
          <div class="card-head"><h3 id="home-briefs">任务简报</h3><${Link} to="tasks">打开任务</${Link}></div>
          <${Loaded} state=${briefs}
            isEmpty=${b => !b.records.length}
            emptyView=${html`<${Empty} title="还没有任务" hint="在“任务”里写下交付说明并确认，就能交给助手执行。" />`}>
            ${b => html`${b.briefs.length ? html`<ul class="list">${b.briefs.slice(0, 5).map(({record, state}) => {
              const label = BRIEF_LABELS[state ? state.state : 'unstarted'] || [state.state, ''];
              return html`<li key=${record.id}><div class="grow"><div class="row-title clip">
                <${Link} to=${K.router.routeOf('task', record.id)}>${record.title || '未命名任务'}</${Link}></div>
                <div class="row-meta">${record.skill || '未选技能'}${state && state.state === 'running' ? ` · 进度 ${state.progress || 0}%` : ''}</div></div>
                <${Badge} tone=${label[1]}>${label[0]}</${Badge}></li>`;
            })}</ul>` : html`<p class="muted">没有已确认的任务。</p>`}
            ${b.drafts ? html`<p class="muted small" style="margin-top:8px">另有 ${b.drafts} 份草稿待确认。</p>` : null}`}
          <//>
        </section>
      </div>
    </div>`;
  }

  K.screens.home = Home;
})();
