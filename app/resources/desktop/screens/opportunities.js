// 商机: opportunities by bucket, a record with its follow-ups and stage
// history, saving, following up, moving the stage, evidence and outcomes.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, useMemo, Loaded, ActionButton, SubmitButton, ErrorNote, Empty, Badge,
    Toolbar, Tabs, Field, Link, CompanyPicker} = K.ui;
  const F = K.format;
  const {routeOf} = K.router;

  const OPEN = new Set(['lead', 'contact', 'qualify', 'proposal', 'negotiation']);
  const BUCKETS = [
    {id: 'open', label: '进行中', test: o => OPEN.has(o.stage)},
    {id: 'won', label: '赢单', test: o => o.stage === 'won'},
    {id: 'lost', label: '输单', test: o => o.stage === 'lost'},
    {id: 'all', label: '全部', test: () => true},
    {id: 'evidence', label: '阶段证据'},
  ];
  let bucket = 'open';

  function stageTone(stage) {
    return stage === 'won' ? 'good' : stage === 'lost' ? 'bad' : stage === 'negotiation' || stage === 'proposal' ? 'accent' : '';
  }

  function Outcomes({desk}) {
    const outcomes = useLoad('outcomes', () => desk.bridge.sales('outcomes'));
    return html`<${Loaded} state=${outcomes}>${o => html`<div class="stats">
      <div class="stat"><div class="stat-label">在谈金额</div><div class="stat-value">${F.money(o.openAmount)}</div></div>
      <div class="stat"><div class="stat-label">加权预测</div><div class="stat-value">${F.money(o.weightedAmount)}</div></div>
      <div class="stat"><div class="stat-label">赢单 / 输单</div><div class="stat-value">${o.wonCount || 0} / ${o.lostCount || 0}</div></div>
      <div class="stat"><div class="stat-label">赢单率</div><div class="stat-value">${F.percent(o.winRate)}</div></div>
    </div>`}<//>`;
  }

  function Evidence({desk, opportunityID}) {
    const evidence = useLoad('evidence', () => desk.bridge.sales('evidence'));
    const mine = d => (d.items || []).filter(e => !opportunityID || e.opportunityID === opportunityID);
    return html`<${Loaded} state=${evidence} isEmpty=${d => !mine(d).length}
      emptyView=${html`<${Empty} title="还没有阶段证据" hint="纪要、邮件和报价回执会作为推进阶段的证据出现在这里。" />`}>
      ${d => html`<div class="card"><ul class="list">${mine(d).map(e => html`<li key=${e.id}><div class="grow">
        <div class="row-title">${opportunityID ? e.kind : html`<${Link} to=${routeOf('opportunity', e.opportunityID)}>${e.opportunityTitle}</${Link}>`}</div>
        <div class="pre">${e.excerpt}</div>
        <div class="row-meta">${opportunityID ? '' : `${e.kind} · `}${F.stageLabel(e.stage)} · ${F.day(e.at)}</div></div></li>`)}</ul></div>`}
    <//>`;
  }

  const BLANK = {title: '', companyID: '', amount: '', stage: 'lead', nextStep: '', dueDate: '', owner: ''};

  function OpportunityForm({desk, record, onSaved, onCancel}) {
    const [draft, setDraft] = useState(record ? {title: record.title || '', companyID: record.companyID || '',
      amount: String(record.amount || ''), stage: record.stage, nextStep: record.nextStep || '', dueDate: record.dueDate || '',
      owner: record.owner || ''} : BLANK);
    const save = useAction();
    const id = useMemo(() => (record && record.id) || K.tasks.newId(), [record]);
    const set = name => event => {
      const value = event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const amount = draft.amount.trim() === '' ? 0 : Number(draft.amount);
    const valid = draft.title.trim() && draft.companyID && Number.isInteger(amount) && amount >= 0;
    const submit = event => {
      event.preventDefault();
      const body = {title: draft.title.trim(), companyID: draft.companyID, amount, nextStep: draft.nextStep, owner: draft.owner};
      if (draft.dueDate) body.dueDate = draft.dueDate;
      if (!record) body.stage = draft.stage;
      save.run(() => desk.bridge.sales('opportunitySave', {id, body})).then(outcome => {
        if (outcome.ok) onSaved(outcome.value);
      });
    };
    return html`<form class="card form" onSubmit=${submit} aria-label=${record ? '编辑商机' : '新建商机'}>
      <h3 class="wide">${record ? '编辑商机' : '新建商机'}</h3>
      <${Field} label="商机名称"><input type="text" required maxlength="120" value=${draft.title} onInput=${set('title')} /><//>
      <${CompanyPicker} value=${draft.companyID} required onChange=${companyID => setDraft(d => Object.assign({}, d, {companyID}))} />
      <${Field} label="金额（元）"><input type="number" min="0" step="1" value=${draft.amount} onInput=${set('amount')} /><//>
      ${record ? null : html`<${Field} label="阶段"><select value=${draft.stage} onChange=${set('stage')}>
        ${F.STAGES.map(s => html`<option value=${s.code}>${s.label}</option>`)}</select><//>`}
      <${Field} label="负责人"><input type="text" maxlength="40" value=${draft.owner} onInput=${set('owner')} /><//>
      <${Field} label="下次跟进日期"><input type="date" value=${draft.dueDate} onInput=${set('dueDate')} /><//>
      <div class="wide"><${Field} label="下一步"><input type="text" maxlength="500" value=${draft.nextStep} onInput=${set('nextStep')} /><//></div>
      <div class="form-actions">
        <${SubmitButton} action=${save} disabled=${!valid}>保存</${SubmitButton}>
        <button type="button" onClick=${onCancel}>取消</button>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} />
      </div>
    </form>`;
  }

  function FollowupForm({desk, record, onSaved}) {
    const [draft, setDraft] = useState({note: '', nextStep: record.nextStep || '', dueDate: record.dueDate || ''});
    const save = useAction();
    const set = name => event => {
      const value = event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const submit = event => {
      event.preventDefault();
      const body = {note: draft.note.trim(), nextStep: draft.nextStep};
      if (draft.dueDate) body.dueDate = draft.dueDate;
      save.run(() => desk.bridge.sales('followup', {id: record.id, body})).then(outcome => {
        if (!outcome.ok) return;
        setDraft({note: '', nextStep: outcome.value.nextStep || '', dueDate: outcome.value.dueDate || ''});
        onSaved(outcome.value);
      });
    };
    return html`<form class="form" onSubmit=${submit} aria-label="记录跟进">
      <div class="wide"><${Field} label="跟进记录"><textarea rows="3" maxlength="2000" value=${draft.note} onInput=${set('note')}
        placeholder="这次沟通了什么、客户的反馈"></textarea><//></div>
      <${Field} label="下一步"><input type="text" maxlength="500" value=${draft.nextStep} onInput=${set('nextStep')} /><//>
      <${Field} label="下次跟进日期"><input type="date" value=${draft.dueDate} onInput=${set('dueDate')} /><//>
      <div class="form-actions"><${SubmitButton} action=${save} disabled=${!draft.note.trim()}>记录跟进</${SubmitButton}>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} /></div>
    </form>`;
  }

  function OpportunityDetail({desk, id}) {
    const record = useLoad(`opportunity:${id}`, () => desk.bridge.sales('opportunity', {id}));
    const stage = useAction();
    const [editing, setEditing] = useState(false);
    const saved = value => { record.replace(value); desk.salesDesk.invalidate(); };
    const moveTo = code => stage.run(() => desk.bridge.sales('stage', {id, body: {stage: code}})).then(outcome => {
      if (outcome.ok) saved(outcome.value);
    });
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('opportunities')}>← 返回商机</button>
      <${Loaded} state=${record}>${o => html`
        <div class="card">
          <div class="card-head"><h2 class="clip">${o.title}</h2><${Badge} tone=${stageTone(o.stage)}>${o.stageLabel || F.stageLabel(o.stage)}</${Badge}></div>
          <dl class="kv">
            <dt>客户</dt><dd>${o.companyID ? html`<${Link} to=${routeOf('customer', o.companyID)}>${o.companyName || '查看客户'}</${Link}>` : '未关联'}</dd>
            <dt>金额</dt><dd>${F.money(o.amount)}（赢率 ${o.probability || 0}%）</dd>
            <dt>负责人</dt><dd>${o.owner || '未指定'}</dd>
            <dt>下一步</dt><dd>${o.nextStep || '未填写'} ${o.dueDate ? html`<span class="muted">· ${F.dueText(o.dueDate)}</span>` : null}</dd>
          </dl>
          <div class="toolbar-actions" style="margin-top:10px">
            <label class="check">推进到
              <select aria-label="商机阶段" value=${o.stage} disabled=${stage.busy} onChange=${event => moveTo(event.currentTarget.value)}>
                ${F.STAGES.map(s => html`<option value=${s.code}>${s.label}</option>`)}</select></label>
            ${stage.busy && stage.slow ? html`<${K.ui.Spinner} />` : null}
            <button type="button" onClick=${() => setEditing(!editing)} aria-expanded=${editing}>编辑</button>
          </div>
          <${ErrorNote} text=${stage.status === 'error' ? stage.error : ''} />
        </div>
        ${editing ? html`<${OpportunityForm} desk=${desk} record=${o} onCancel=${() => setEditing(false)}
          onSaved=${value => { setEditing(false); saved(value); }} />` : null}
        <section class="card" aria-label="跟进">
          <div class="card-head"><h3>跟进记录</h3><span class="muted small">${(o.followups || []).length} 条</span></div>
          <${FollowupForm} desk=${desk} record=${o} onSaved=${saved} key=${o.id} />
          <ul class="list" style="margin-top:12px">${(o.followups || []).slice().reverse().map(f => html`<li key=${f.id}><div class="grow">
            <div class="pre">${f.note}</div><div class="row-meta">${f.by || ''} · ${F.dateTime(f.at)}</div></div></li>`)}</ul>
        </section>
        <section aria-label="阶段证据"><h3 style="margin-bottom:8px">阶段证据</h3><${Evidence} desk=${desk} opportunityID=${o.id} /></section>
        <section class="card" aria-label="阶段变化"><h3 style="margin-bottom:8px">阶段变化</h3>
          <ul class="list">${(o.stageHistory || []).slice().reverse().map((h, i) => html`<li key=${i}>
            <span class="grow">${F.stageLabel(h.stage)}</span><span class="row-meta">${F.dateTime(h.at)}</span></li>`)}</ul></section>
      `}<//>
    </div>`;
  }

  function OpportunityList({desk, which, selected}) {
    const list = useLoad('opportunities', () => desk.bridge.sales('opportunities'));
    const test = (BUCKETS.find(b => b.id === which) || BUCKETS[0]).test;
    return html`<${Loaded} state=${list} isEmpty=${d => !(d.items || []).filter(test).length}
      emptyView=${html`<${Empty} title="这一组没有商机" hint="点“新建商机”，或在活动名单里把参会人转为商机。" />`}>
      ${d => html`<div class="card pick" role="list">${d.items.filter(test)
        .sort((a, b) => String(a.dueDate || '9').localeCompare(String(b.dueDate || '9')))
        .map(o => html`<button type="button" role="listitem" key=${o.id} aria-current=${o.id === selected}
          onClick=${() => desk.navigate(routeOf('opportunity', o.id))}>
          <div class="toolbar"><span class="row-title clip grow" style="flex:1">${o.title}</span>
            <${Badge} tone=${stageTone(o.stage)}>${o.stageLabel || F.stageLabel(o.stage)}</${Badge}></div>
          <div class="row-meta clip">${o.companyName || ''} · ${F.money(o.amount)}${OPEN.has(o.stage) ? ` · ${F.dueText(o.dueDate)}` : ''}</div>
        </button>`)}</div>`}
    <//>`;
  }

  function Opportunities({desk, route}) {
    const [chosen, setWhich] = useState(bucket);
    const [creating, setCreating] = useState(false);
    const detail = route.page === 'opportunity';
    // A record opened from elsewhere is shown beside the whole list.
    const which = detail && chosen === 'evidence' ? 'all' : chosen;
    const choose = next => { bucket = next; setWhich(next); if (detail) desk.navigate('opportunities'); };
    return html`<div class="page">
      <${Toolbar} title="商机">
        <button type="button" class="primary" onClick=${() => setCreating(true)}>新建商机</button>
      <//>
      ${detail ? null : html`<${Outcomes} desk=${desk} />`}
      ${creating ? html`<${OpportunityForm} desk=${desk} onCancel=${() => setCreating(false)}
        onSaved=${value => { setCreating(false); desk.salesDesk.invalidate(); desk.navigate(routeOf('opportunity', value.id)); }} />` : null}
      <${Tabs} label="商机分组" current=${which} onChange=${choose} tabs=${BUCKETS} />
      ${which === 'evidence' ? html`<${Evidence} desk=${desk} />` : html`<div class=${`split${detail ? ' has-detail' : ''}`}>
        <div class="master"><${OpportunityList} desk=${desk} which=${which} selected=${detail ? route.id : null} /></div>
        ${detail ? html`<${OpportunityDetail} desk=${desk} id=${route.id} key=${route.id} />`
          : html`<div class="detail-placeholder"><p class="empty-title">选择一个商机</p><p class="empty-hint">记录跟进、推进阶段、查看证据。</p></div>`}
      </div>`}
    </div>`;
  }

  K.screens.opportunities = Opportunities;
})();
