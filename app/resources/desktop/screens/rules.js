// 规则与交付: reminder rules (edit, create, try on a sample or on the
// opportunities) and deliveries (read, give feedback).
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, useMemo, Loaded, SubmitButton, ErrorNote, Empty, Badge, Toolbar, Tabs,
    Field, Link, Fragment} = K.ui;
  const F = K.format;
  const {routeOf} = K.router;

  const words = text => text.split(/[,，、\n]+/).map(s => s.trim()).filter(Boolean);

  function RuleForm({desk, rule, onSaved, onCancel}) {
    const [draft, setDraft] = useState({name: rule ? rule.name : '', keywords: rule ? (rule.keywords || []).join('、') : '',
      action: rule ? rule.action || '' : '', enabled: rule ? rule.enabled !== false : true});
    const save = useAction();
    const id = useMemo(() => (rule && rule.id) || K.tasks.newId(), [rule]);
    const set = name => event => {
      const value = event.currentTarget.type === 'checkbox' ? event.currentTarget.checked : event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const submit = event => {
      event.preventDefault();
      const body = {name: draft.name.trim(), keywords: words(draft.keywords), action: draft.action, enabled: draft.enabled};
      save.run(() => desk.bridge.sales('ruleSave', {id, body})).then(outcome => { if (outcome.ok) onSaved(outcome.value); });
    };
    return html`<form class="card form" onSubmit=${submit} aria-label=${rule ? '编辑规则' : '新建规则'}>
      <h3 class="wide">${rule ? '编辑规则' : '新建规则'}</h3>
      <${Field} label="规则名称"><input type="text" required maxlength="80" value=${draft.name} onInput=${set('name')} /><//>
      <${Field} label="关键词" hint="用顿号分隔，最多 20 个"><input type="text" value=${draft.keywords} onInput=${set('keywords')} /><//>
      <${Field} label="命中后"><input type="text" maxlength="200" value=${draft.action} onInput=${set('action')} placeholder="例如：在商机上添加提醒" /><//>
      <label class="check"><input type="checkbox" checked=${draft.enabled} onChange=${set('enabled')} />启用</label>
      <div class="form-actions"><${SubmitButton} action=${save} disabled=${!draft.name.trim()}>保存</${SubmitButton}>
        <button type="button" onClick=${onCancel}>取消</button>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} /></div>
    </form>`;
  }

  function Trial({desk, rule}) {
    const [sample, setSample] = useState('');
    const trial = useAction();
    const submit = event => {
      event.preventDefault();
      trial.run(() => desk.bridge.sales('trial', {id: rule.id, body: sample.trim() ? {text: sample} : {}}));
    };
    const t = trial.status === 'ready' ? trial.data : null;
    return html`<section class="card" aria-labelledby="rule-trial">
      <div class="card-head"><h3 id="rule-trial">试运行</h3></div>
      <form class="form" onSubmit=${submit}>
        <div class="wide"><${Field} label="样例文本" hint="留空则在现有商机的记录里试运行"><textarea rows="3" maxlength="8000" value=${sample}
          onInput=${e => setSample(e.currentTarget.value)}></textarea><//></div>
        <div class="form-actions"><${SubmitButton} action=${trial}>试运行</${SubmitButton}>
          <${ErrorNote} text=${trial.status === 'error' ? trial.error : ''} /></div>
      </form>
      ${t ? html`<div style="margin-top:10px" role="status">${t.sample !== null && t.sample !== undefined
        ? html`<p>${(t.matched || []).length ? `命中关键词：${t.matched.join('、')}` : '样例没有命中任何关键词。'}</p>`
        : (t.opportunities || []).length ? html`<p>命中 ${t.opportunities.length} 个商机：</p><ul class="list">${t.opportunities.map(o => html`<li key=${o.id}>
            <span class="grow"><${Link} to=${routeOf('opportunity', o.id)}>${o.title}</${Link}></span><${Badge}>${o.keyword}</${Badge}></li>`)}</ul>`
        : html`<p>现有商机里没有命中。</p>`}</div>` : null}
    </section>`;
  }

  function RuleDetail({desk, rule, onChanged}) {
    const [editing, setEditing] = useState(false);
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('rules')}>← 返回规则</button>
      <div class="card"><div class="card-head"><h2 class="clip">${rule.name}</h2>
        ${rule.enabled ? html`<${Badge} tone="good">已启用</${Badge}>` : html`<${Badge}>已停用</${Badge}>`}</div>
        <dl class="kv"><dt>关键词</dt><dd>${(rule.keywords || []).join('、') || '未设置'}</dd>
          <dt>命中后</dt><dd>${rule.action || '未设置'}</dd>
          <dt>最近试运行</dt><dd>${(rule.trials || []).length ? (rule.trials || []).slice(-3).reverse().map(t => `${F.dateTime(t.at)} 命中 ${t.matchedCount}`).join('；') : '还没有试运行'}</dd></dl>
        <div class="toolbar-actions" style="margin-top:10px"><button type="button" onClick=${() => setEditing(!editing)} aria-expanded=${editing}>编辑规则</button></div>
      </div>
      ${editing ? html`<${RuleForm} desk=${desk} rule=${rule} onCancel=${() => setEditing(false)} onSaved=${value => { setEditing(false); onChanged(value); }} />` : null}
      <${Trial} desk=${desk} rule=${rule} key=${rule.id} />
    </div>`;
  }

  function Rules({desk, route}) {
    const rules = useLoad('rules', () => desk.bridge.sales('rules'));
    const [creating, setCreating] = useState(false);
    const selected = route.page === 'rule' ? route.id : null;
    const rule = selected && rules.data ? (rules.data.items || []).find(r => r.id === selected) : null;
    return html`<${Fragment}>
      ${creating ? null : html`<div class="toolbar-actions"><button type="button" class="primary" onClick=${() => setCreating(true)}>新建规则</button></div>`}
      ${creating ? html`<${RuleForm} desk=${desk} onCancel=${() => setCreating(false)}
        onSaved=${value => { setCreating(false); rules.reload(); desk.navigate(routeOf('rule', value.id)); }} />` : null}
      <div class=${`split${selected ? ' has-detail' : ''}`}>
        <div class="master"><${Loaded} state=${rules} isEmpty=${d => !(d.items || []).length}
          emptyView=${html`<${Empty} title="还没有提醒规则" hint="新建一条规则，让关键词出现时提醒你。" />`}>
          ${d => html`<div class="card pick" role="list">${d.items.map(r => html`<button type="button" role="listitem" key=${r.id}
            aria-current=${r.id === selected} onClick=${() => desk.navigate(routeOf('rule', r.id))}>
            <div class="row-title clip">${r.name}${r.enabled ? '' : '（已停用）'}</div>
            <div class="row-meta clip">${(r.keywords || []).join('、')}</div></button>`)}</div>`}
        <//></div>
        ${rule ? html`<${RuleDetail} desk=${desk} rule=${rule} key=${rule.id} onChanged=${() => rules.reload()} />`
          : selected && rules.data ? html`<${Empty} title="没有这条规则" hint="它可能已被删除。" />`
          : html`<div class="detail-placeholder"><p class="empty-title">选择一条规则</p><p class="empty-hint">编辑关键词，或在样例上试运行。</p></div>`}
      </div>
    <//>`;
  }

  function FeedbackForm({desk, delivery, onSaved}) {
    const [rating, setRating] = useState(delivery.feedback ? delivery.feedback.rating : 0);
    const [comment, setComment] = useState(delivery.feedback ? delivery.feedback.comment || '' : '');
    const save = useAction();
    const submit = event => {
      event.preventDefault();
      save.run(() => desk.bridge.sales('feedback', {id: delivery.id, body: {rating, comment}})).then(outcome => {
        if (outcome.ok) onSaved(outcome.value);
      });
    };
    return html`<form class="card form" onSubmit=${submit} aria-label="客户反馈">
      <h3 class="wide">客户反馈</h3>
      <div class="wide filters" role="radiogroup" aria-label="评分">${[1, 2, 3, 4, 5].map(n => html`<label class="check" key=${n}>
        <input type="radio" name="rating" checked=${rating === n} onChange=${() => setRating(n)} />${n} 分</label>`)}</div>
      <div class="wide"><${Field} label="反馈内容"><textarea rows="3" maxlength="1000" value=${comment} onInput=${e => setComment(e.currentTarget.value)}></textarea><//></div>
      <div class="form-actions"><${SubmitButton} action=${save} disabled=${!rating}>保存反馈</${SubmitButton}>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} /></div>
    </form>`;
  }

  function DeliveryDetail({desk, id}) {
    const delivery = useLoad(`delivery:${id}`, () => desk.bridge.sales('delivery', {id}));
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('deliveries')}>← 返回交付</button>
      <${Loaded} state=${delivery}>${d => html`
        <article class="card"><div class="card-head"><h2 class="clip">${d.title}</h2><${Badge}>${d.kind || ''}</${Badge}></div>
          <dl class="kv"><dt>客户</dt><dd>${d.companyID ? html`<${Link} to=${routeOf('customer', d.companyID)}>${d.companyName}</${Link}>` : d.companyName || '未关联'}</dd>
            <dt>发送</dt><dd>${d.status === 'draft' ? '草稿，尚未发送' : F.day(d.sentAt)}</dd>
            ${d.feedback ? html`<dt>反馈</dt><dd>${d.feedback.rating} 分 · ${d.feedback.comment || '无文字'}</dd>` : null}</dl>
          <p class="pre" style="margin-top:10px">${d.content || ''}</p></article>
        <${FeedbackForm} desk=${desk} delivery=${d} key=${d.id} onSaved=${value => { delivery.replace(value); desk.salesDesk.invalidate(); }} />`}
      <//>
    </div>`;
  }

  function Deliveries({desk, route}) {
    const deliveries = useLoad('deliveries', () => desk.bridge.sales('deliveries'));
    const selected = route.page === 'delivery' ? route.id : null;
    return html`<div class=${`split${selected ? ' has-detail' : ''}`}>
      <div class="master"><${Loaded} state=${deliveries} isEmpty=${d => !(d.items || []).length}
        emptyView=${html`<${Empty} title="还没有交付物" hint="方案、报价发出后会出现在这里，可以记录客户反馈。" />`}>
        ${d => html`<div class="card pick" role="list">${d.items.map(item => html`<button type="button" role="listitem" key=${item.id}
          aria-current=${item.id === selected} onClick=${() => desk.navigate(routeOf('delivery', item.id))}>
          <div class="row-title clip">${item.title}</div>
          <div class="row-meta clip">${item.companyName || ''} · ${item.status === 'draft' ? '草稿' : F.day(item.sentAt)}${item.feedback ? ' · 已反馈' : ''}</div></button>`)}</div>`}
      <//></div>
      ${selected ? html`<${DeliveryDetail} desk=${desk} id=${selected} key=${selected} />`
        : html`<div class="detail-placeholder"><p class="empty-title">选择一份交付物</p><p class="empty-hint">查看内容，记录客户反馈。</p></div>`}
    </div>`;
  }

  function RulesAndDeliveries({desk, route}) {
    const tab = route.page === 'deliveries' || route.page === 'delivery' ? 'deliveries' : 'rules';
    return html`<div class="page">
      <${Toolbar} title="规则与交付" />
      <${Tabs} label="规则与交付" current=${tab} onChange=${next => desk.navigate(next)}
        tabs=${[{id: 'rules', label: '提醒规则'}, {id: 'deliveries', label: '交付物'}]} />
      ${tab === 'rules' ? html`<${Rules} desk=${desk} route=${route} />` : html`<${Deliveries} desk=${desk} route=${route} />`}
    </div>`;
  }

  K.screens.rules = RulesAndDeliveries;
})();
