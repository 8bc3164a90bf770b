// 任务: the local task workspace (projects, task drafts with skills, minute
// references and attachments, confirmation) and the remote briefs that run
// a confirmed task (state, start with a budget, review). Every record call
// carries the revision the page last saw; when another window changed the
// task, the host refuses and the page offers to reload.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, useEffect, useMemo, Loaded, ActionButton, SubmitButton, ErrorNote, Empty,
    Badge, Toolbar, Field, CompanyPicker, Link} = K.ui;
  const F = K.format;
  const T = K.tasks;
  const {routeOf} = K.router;

  const BRIEF = {unstarted: ['未开始', ''], running: ['执行中', 'accent'], review: ['待审阅', 'warn'], done: ['已完成', 'good']};
  const BODY_LIMIT = 1200;

  function briefBadge(state) {
    const [label, tone] = BRIEF[state] || [state || '未知', ''];
    return html`<${Badge} tone=${tone}>${label}</${Badge}>`;
  }

  // A failure in place; the ones that mean "your copy is old" offer a reload.
  function TaskError({text, reload}) {
    if (!text) return null;
    return html`<${ErrorNote} text=${text} onRetry=${T.needsReload(text) ? reload : null} retryLabel="重新打开任务列表" />`;
  }

  async function sha256(text) {
    if (!globalThis.crypto || !crypto.subtle) throw new Error('无法核对纪要内容，请稍后重试。');
    const bytes = new TextEncoder().encode(text);
    const digest = await crypto.subtle.digest('SHA-256', bytes);
    return [...new Uint8Array(digest)].map(b => b.toString(16).padStart(2, '0')).join('');
  }

  function ProjectForm({desk, onCreated, onCancel}) {
    const [draft, setDraft] = useState({name: '', goal: '', companyId: ''});
    const [id] = useState(() => T.newId());
    const save = useAction();
    const set = name => event => {
      const value = event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const submit = event => {
      event.preventDefault();
      save.run(() => desk.bridge.call('projectCreate', {id, name: draft.name, goal: draft.goal, companyId: draft.companyId}))
        .then(outcome => { if (outcome.ok) onCreated(outcome.value); });
    };
    return html`<form class="card form" onSubmit=${submit} aria-label="新建项目">
      <h3 class="wide">新建项目</h3>
      <${Field} label="项目名称" hint="1 至 80 个字符"><input type="text" required maxlength="80" value=${draft.name} onInput=${set('name')} /><//>
      <${CompanyPicker} label="关联客户（可选）" value=${draft.companyId} onChange=${companyId => setDraft(d => Object.assign({}, d, {companyId}))} />
      <div class="wide"><${Field} label="项目目标（可选）"><textarea rows="2" maxlength="500" value=${draft.goal} onInput=${set('goal')}></textarea><//></div>
      <div class="form-actions"><${SubmitButton} action=${save} disabled=${!draft.name.trim()}>创建项目</${SubmitButton}>
        <button type="button" onClick=${onCancel}>取消</button>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} /></div>
    </form>`;
  }

  function draftOf(record) {
    return {title: record ? record.title : '', body: record ? record.body : '', skill: record ? record.skill : '',
      project: record ? record.project : '', fileIDs: record ? record.files.map(f => f.digest) : [],
      minute: record && record.minute ? record.minute : null};
  }

  // A draft being written: save, attach, confirm.
  function TaskEditor({desk, id, record, projects, reload, onRecord}) {
    const [draft, setDraft] = useState(() => draftOf(record));
    const action = useAction();
    const [note, setNote] = useState('');
    const minutes = useLoad('minutes', () => desk.bridge.sales('minutes'));
    const minuteItems = minutes.data && !minutes.data.minutesUnavailable ? minutes.data.items || [] : [];
    const set = name => event => {
      const value = event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const files = record ? record.files : [];
    const kept = new Set(draft.fileIDs);
    const dirty = JSON.stringify(draftOf(record)) !== JSON.stringify(draft);

    const pickMinute = async event => {
      const chosen = minuteItems.find(m => m.id === event.currentTarget.value);
      if (!chosen) { setDraft(d => Object.assign({}, d, {minute: null})); return; }
      const outcome = await action.run(async () => ({id: chosen.id, digest: await sha256(chosen.text || ''),
        title: String(chosen.title || '').slice(0, 80)}));
      if (outcome.ok) setDraft(d => Object.assign({}, d, {minute: outcome.value}));
    };
    const save = () => action.run(() => desk.bridge.call('taskSave', T.draftPayload(id, record, draft))).then(outcome => {
      if (outcome.ok) { setNote('草稿已保存。'); onRecord(outcome.value); }
    });
    const attach = () => action.run(() => desk.bridge.call('taskAttach', T.draftPayload(id, record, draft))).then(outcome => {
      if (!outcome.ok) return;
      setNote(outcome.value.message || '');
      const view = outcome.value.record;
      if (!view) return;
      // The files just added are part of the draft from now on.
      const before = new Set(files.map(f => f.digest));
      const added = view.files.map(f => f.digest).filter(digest => !before.has(digest));
      setDraft(d => Object.assign({}, d, {fileIDs: [...d.fileIDs, ...added]}));
      onRecord(view);
    });
    // Unsaved changes are saved first: the host confirms what it has stored.
    const confirm = () => action.run(async () => {
      let current = record;
      if (!current || dirty) current = await desk.bridge.call('taskSave', T.draftPayload(id, record, draft));
      try {
        return await desk.bridge.call('taskConfirm', {id, revision: T.revisionOf(current)});
      } catch (error) {
        onRecord(current);
        throw error;
      }
    }).then(outcome => { if (outcome.ok) { setNote(''); onRecord(outcome.value); } });

    return html`<div class="pane">
      <div class="card form" role="group" aria-label="任务草稿">
        <div class="card-head wide"><h3>${record ? '编辑任务' : '新任务'}</h3>
          <span class="muted small">${record ? `版本 ${record.revision} · ${F.dateTime(record.updatedAt)}` : '尚未保存'}</span></div>
        <${Field} label="标题"><input type="text" maxlength="80" value=${draft.title} onInput=${set('title')}
          placeholder="可留空：确认时取交付说明的第一行" /><//>
        <${Field} label="所属项目"><select value=${draft.project} onChange=${set('project')}>
          <option value="">不归属项目</option>${projects.map(p => html`<option value=${p.id}>${p.name}</option>`)}</select><//>
        <${Field} label="技能"><select value=${draft.skill} onChange=${set('skill')}>
          ${T.SKILLS.map(s => html`<option value=${s}>${s || '不指定技能'}</option>`)}</select><//>
        <${Field} label="引用纪要"><select value=${draft.minute ? draft.minute.id : ''} onChange=${pickMinute}
          disabled=${!minuteItems.length && !draft.minute}>
          <option value="">${minuteItems.length || draft.minute ? '不引用纪要' : '没有可引用的纪要'}</option>
          ${draft.minute && !minuteItems.some(m => m.id === draft.minute.id) ? html`<option value=${draft.minute.id}>${draft.minute.title}</option>` : null}
          ${minuteItems.map(m => html`<option value=${m.id}>${m.title}</option>`)}</select><//>
        <div class="wide"><${Field} label="交付说明" hint=${`${draft.body.length} / ${BODY_LIMIT} 字符`}>
          <textarea rows="6" value=${draft.body} onInput=${set('body')} placeholder="写清楚要交付什么、给谁、注意什么"></textarea><//></div>
        <div class="wide"><h4>附件（最多 5 个）</h4>
          ${files.length ? html`<ul class="list">${files.map(f => html`<li key=${f.digest}>
            <label class="check grow"><input type="checkbox" checked=${kept.has(f.digest)}
              onChange=${event => {
                const on = event.currentTarget.checked;
                setDraft(d => Object.assign({}, d, {fileIDs: on ? files.map(x => x.digest).filter(x => x === f.digest || d.fileIDs.includes(x))
                  : d.fileIDs.filter(x => x !== f.digest)}));
              }} />
              <span class="clip">${f.name}</span></label><span class="row-meta">${f.method}</span></li>`)}</ul>
            <p class="muted small">取消勾选的附件在保存后移除。</p>`
            : html`<p class="muted small">还没有附件。可添加文本、PDF、Word、Excel 或图片。</p>`}</div>
        <div class="form-actions">
          <button type="button" onClick=${save} disabled=${action.busy || draft.body.length > BODY_LIMIT}>保存草稿</button>
          <button type="button" onClick=${attach} disabled=${action.busy || files.length >= 5}>添加附件</button>
          <button type="button" class="primary" onClick=${confirm} disabled=${action.busy || !draft.body.trim() || draft.body.length > BODY_LIMIT}>确认任务</button>
          ${action.busy && action.slow ? html`<${K.ui.Spinner} />` : null}
          ${note && action.status !== 'error' ? html`<span class="muted" role="status">${note}</span>` : null}
        </div>
        <div class="wide"><${TaskError} text=${action.status === 'error' ? action.error : ''} reload=${reload} /></div>
      </div>
    </div>`;
  }

  function Sources({desk, record}) {
    const read = useAction();
    const [which, setWhich] = useState(0);
    const show = n => { setWhich(n); read.run(() => desk.bridge.call('taskSource', {id: record.id, revision: record.revision, source: n})); };
    if (!record.files.length) return html`<p class="muted">这项任务没有附件。</p>`;
    return html`<div>
      <ul class="list">${record.files.map((f, i) => html`<li key=${f.digest}><span class="grow clip">${f.name} <span class="row-meta">${f.method}</span></span>
        <button type="button" disabled=${read.busy} onClick=${() => show(i + 1)}>查看摘录</button></li>`)}</ul>
      ${read.status === 'loading' && read.slow ? html`<${K.ui.Progress} state=${read} label="正在读取…" />` : null}
      ${read.status === 'ready' && read.data ? html`<div class="card" style="margin-top:8px"><h4>${record.files[which - 1] ? record.files[which - 1].name : ''}</h4>
        <p class="pre" style="max-height:220px;overflow:auto">${read.data.text || '没有文字。'}</p></div>` : null}
      <${ErrorNote} text=${read.status === 'error' ? read.error : ''} />
    </div>`;
  }

  function Review({desk, record, brief, onBrief}) {
    const [verdict, setVerdict] = useState(brief.decision && brief.decision.verdict || 'approve');
    const [comment, setComment] = useState(brief.decision && brief.decision.comment || '');
    const review = useAction();
    const send = finalize => review.run(() => desk.bridge.call('taskReview', {id: record.id,
      decision: {verdict, comment}, version: brief.version, finalize})).then(outcome => { if (outcome.ok) onBrief(outcome.value); });
    return html`<div class="form" role="group" aria-label="审阅">
      <div class="wide filters" role="radiogroup" aria-label="审阅结论">
        <label class="check"><input type="radio" name="verdict" checked=${verdict === 'approve'} onChange=${() => setVerdict('approve')} />可以交付</label>
        <label class="check"><input type="radio" name="verdict" checked=${verdict === 'revise'} onChange=${() => setVerdict('revise')} />需要修改</label></div>
      <div class="wide"><${Field} label="审阅意见"><textarea rows="3" value=${comment} onInput=${e => setComment(e.currentTarget.value)}></textarea><//></div>
      <div class="form-actions">
        <button type="button" disabled=${review.busy} onClick=${() => send(false)}>保存意见</button>
        <button type="button" class="primary" disabled=${review.busy} onClick=${() => send(true)}>完成审阅</button>
        ${review.busy && review.slow ? html`<${K.ui.Spinner} />` : null}
        <${ErrorNote} text=${review.status === 'error' ? review.error : ''} /></div>
    </div>`;
  }

  // The remote brief of a confirmed task.
  function Brief({desk, record, onChanged}) {
    const status = useLoad(`brief:${record.id}`, () => desk.bridge.call('taskStatus', {id: record.id}));
    const start = useAction();
    const [budget, setBudget] = useState('2');
    const [scopeError, setScopeError] = useState('');
    const brief = status.data;
    const running = brief && brief.state === 'running';
    useEffect(() => {
      if (!running) return undefined;
      const timer = setTimeout(() => status.reload().then(outcome => {
        if (outcome.ok && outcome.value.state !== 'running') onChanged();
      }), 2000);
      return () => clearTimeout(timer);
    }, [running, brief]);
    const payload = T.startPayload(record, budget);
    const begin = event => {
      event.preventDefault();
      if (!payload) return;
      setScopeError('');
      start.run(() => desk.bridge.call('taskStart', payload)).then(outcome => {
        if (!outcome.ok) return;
        if (outcome.value.scopeError) setScopeError(outcome.value.scopeError);
        else { status.replace(outcome.value); onChanged(); }
      });
    };
    return html`<section class="card" aria-labelledby="brief-head">
      <div class="card-head"><h3 id="brief-head">执行</h3>${brief ? briefBadge(brief.state) : null}</div>
      <${Loaded} state=${status}>${b => html`
        ${b.state === 'unstarted' ? html`<form class="form" onSubmit=${begin}>
            <${Field} label="执行预算（元）" hint="本次执行最多花费的金额"><input type="number" min="0.01" step="0.01" value=${budget}
              onInput=${e => setBudget(e.currentTarget.value)} /><//>
            <div class="form-actions"><${SubmitButton} action=${start} disabled=${!payload}>开始执行</${SubmitButton}>
              <${TaskError} text=${start.status === 'error' ? start.error : ''} reload=${() => desk.salesDesk.invalidate()} /></div>
          </form>
          ${scopeError ? html`<div class="error-note" role="alert">无法开始：${scopeError}</div>` : null}` : null}
        ${b.state === 'running' ? html`<p role="status"><${K.ui.Spinner} /> 助手正在执行，已完成 ${b.progress || 0}%。</p>` : null}
        ${b.state === 'review' || b.state === 'done' ? html`<p class="pre card" style="background:var(--surface-2)">${b.result || ''}</p>` : null}
        ${b.state === 'review' ? html`<${Review} desk=${desk} record=${record} brief=${b} onBrief=${value => { status.replace(value); onChanged(); }} key=${b.version} />` : null}
        ${b.state === 'done' && b.decision ? html`<p class="muted" style="margin-top:8px">审阅结论：${b.decision.verdict === 'revise' ? '需要修改' : '可以交付'}${b.decision.comment ? `，${b.decision.comment}` : ''}</p>` : null}
      `}<//>
    </section>`;
  }

  function ConfirmedTask({desk, record, projects, onBriefChanged}) {
    const project = projects.find(p => p.id === record.project);
    return html`<div class="pane">
      <div class="card"><div class="card-head"><h2 class="clip">${record.title || '未命名任务'}</h2><${Badge} tone="good">已确认</${Badge}></div>
        <dl class="kv"><dt>项目</dt><dd>${project ? project.name : '未归属项目'}</dd><dt>技能</dt><dd>${record.skill || '未指定'}</dd>
          ${record.minute ? html`<dt>引用纪要</dt><dd><${Link} to=${routeOf('minute', record.minute.id)}>${record.minute.title}</${Link}></dd>` : null}
          <dt>版本</dt><dd>${record.revision} · ${F.dateTime(record.updatedAt)}</dd></dl>
        <p class="pre" style="margin-top:10px">${record.body}</p>
        <h4 style="margin-top:12px">附件</h4><${Sources} desk=${desk} record=${record} key=${record.revision} /></div>
      <${Brief} desk=${desk} record=${record} key=${record.id} onChanged=${onBriefChanged} />
    </div>`;
  }

  function TaskList({desk, data, states, project, selected}) {
    const records = data.records.filter(r => !project || r.project === project);
    if (!records.length) return html`<${Empty} title=${project ? '这个项目还没有任务' : '还没有任务'} hint="点“新建任务”，写下要交付的内容。" />`;
    const names = new Map(data.projects.map(p => [p.id, p.name]));
    return html`<div class="card pick" role="list">${records.map(r => {
      const state = r.confirmed ? states.get(r.id.toLowerCase()) : null;
      return html`<button type="button" role="listitem" key=${r.id} aria-current=${r.id === selected}
        onClick=${() => desk.navigate(routeOf('task', r.id))}>
        <div class="toolbar"><span class="row-title clip" style="flex:1">${r.title || '未命名任务'}</span>
          ${r.confirmed ? (state ? briefBadge(state.state) : html`<${Badge} tone="good">已确认</${Badge}>`) : html`<${Badge}>草稿</${Badge}>`}</div>
        <div class="row-meta clip">${[names.get(r.project), r.skill, r.files.length ? `${r.files.length} 个附件` : '', r.minute ? '引用纪要' : ''].filter(Boolean).join(' · ') || F.dateTime(r.updatedAt)}</div>
      </button>`;
    })}</div>`;
  }

  let projectFilter = '';

  function Tasks({desk, route}) {
    const workspace = useLoad('workspace', () => desk.bridge.call('workspaceOpen'));
    const data = workspace.data;
    const confirmedIds = data ? T.stateBatches(data.records.filter(r => r.confirmed)) : [];
    // Brief states are asked again when a brief changed here.
    const [briefChanges, setBriefChanges] = useState(0);
    const states = useLoad(data ? `taskStates:${briefChanges}:${confirmedIds.flat().join(',')}` : null, async () => {
      const replies = [];
      for (const ids of confirmedIds) replies.push(await desk.bridge.call('taskStates', {ids}));
      return T.statesById(replies);
    });
    const [project, setProject] = useState(projectFilter);
    const [creatingProject, setCreatingProject] = useState(false);
    // Reloading after a conflict starts the editor again from the stored task.
    const [generation, setGeneration] = useState(0);
    const reload = () => workspace.reload().then(outcome => { setGeneration(n => n + 1); return outcome; });
    const selected = route.page === 'task' ? route.id : null;
    const record = data && selected ? data.records.find(r => r.id === selected.toLowerCase()) || null : null;
    const onRecord = view => workspace.replace(Object.assign({}, data, {records: T.replaceRecord(data.records, view)}));
    const choose = event => { projectFilter = event.currentTarget.value; setProject(projectFilter); };
    return html`<div class="page">
      <${Toolbar} title="任务" sub="本机工作区">
        <button type="button" onClick=${() => setCreatingProject(true)}>新建项目</button>
        <button type="button" class="primary" onClick=${() => desk.navigate(routeOf('task', T.newId()))}>新建任务</button>
      <//>
      ${creatingProject ? html`<${ProjectForm} desk=${desk} onCancel=${() => setCreatingProject(false)}
        onCreated=${() => { setCreatingProject(false); workspace.reload(); }} />` : null}
      <${Loaded} state=${workspace} label="正在打开工作区…">${d => html`
        <div class="filters"><label class="check">项目
          <select value=${project} onChange=${choose} aria-label="按项目筛选">
            <option value="">全部项目</option>${d.projects.map(p => html`<option value=${p.id}>${p.name}</option>`)}</select></label>
          ${states.status === 'error' ? html`<span class="error-text">${states.error}</span>` : null}</div>
        <div class=${`split${selected ? ' has-detail' : ''}`}>
          <div class="master"><${TaskList} desk=${desk} data=${d} states=${states.data || new Map()} project=${project} selected=${selected} /></div>
          ${!selected ? html`<div class="detail-placeholder"><p class="empty-title">选择一项任务</p><p class="empty-hint">编辑草稿、添加附件、确认后交给助手执行。</p></div>`
            : record && record.confirmed ? html`<${ConfirmedTask} desk=${desk} record=${record} projects=${d.projects} key=${record.id}
                onBriefChanged=${() => setBriefChanges(n => n + 1)} />`
            : html`<div><button type="button" class="back only-narrow" onClick=${() => desk.navigate('tasks')}>← 返回任务</button>
                <${TaskEditor} desk=${desk} id=${selected.toLowerCase()} record=${record} projects=${d.projects} reload=${reload}
                  onRecord=${onRecord} key=${`${selected}:${generation}`} /></div>`}
        </div>`}<//>
    </div>`;
  }

  K.screens.tasks = Tasks;
})();
