// The pipeline by stage, drawn by uPlot as bars. uPlot's script is loaded
// the first time a chart is shown.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useEffect, useRef, useState} = K.ui;

  // uPlot formats numbers in the engine's language at load; a process
  // started with LANG=C gives WebKit the tag "C", which Intl refuses.
  function usableLanguage() {
    try {
      new Intl.NumberFormat(navigator.language);
    } catch {
      Object.defineProperty(navigator, 'language', {value: 'zh-CN', configurable: true});
    }
  }

  let loading = null;
  function loadUPlot() {
    if (window.uPlot) return Promise.resolve(window.uPlot);
    if (!loading) {
      loading = new Promise((resolve, reject) => {
        const style = document.createElement('link');
        style.rel = 'stylesheet';
        style.href = 'vendor/uPlot.min.css';
        document.head.append(style);
        const script = document.createElement('script');
        script.src = 'vendor/uPlot.iife.min.js';
        usableLanguage();
        script.onload = () => window.uPlot ? resolve(window.uPlot) : script.onerror();
        script.onerror = () => { loading = null; reject(new Error('图表资源缺失。')); };
        document.head.append(script);
      });
    }
    return loading;
  }

  function colours() {
    const style = getComputedStyle(document.documentElement);
    const read = name => style.getPropertyValue(name).trim();
    return {accent: read('--accent'), soft: read('--accent-soft'), line: read('--line'), muted: read('--muted'),
      good: read('--good'), bad: read('--bad')};
  }

  // Axis labels short enough for a narrow card.
  const SHORT = {lead: '线索', contact: '接触', qualify: '确认', proposal: '报价', negotiation: '谈判', won: '赢单', lost: '输单'};

  // stages: [{stage, label, amount, count}]
  function PipelineChart({stages, height}) {
    const box = useRef(null);
    const [failed, setFailed] = useState('');
    const [scheme, setScheme] = useState(0);
    useEffect(() => {
      const query = window.matchMedia('(prefers-color-scheme: dark)');
      const change = () => setScheme(n => n + 1);
      query.addEventListener('change', change);
      return () => query.removeEventListener('change', change);
    }, []);
    useEffect(() => {
      let plot = null;
      let observer = null;
      let gone = false;
      loadUPlot().then(uPlot => {
        if (gone || !box.current) return;
        const c = colours();
        const labels = stages.map(stage => SHORT[stage.stage] || stage.label);
        const x = stages.map((_, i) => i);
        const amounts = stages.map(stage => Math.round((stage.amount || 0) / 1000) / 10);
        const width = Math.max(200, box.current.clientWidth);
        const bars = uPlot.paths.bars({size: [0.6, 48], align: 0});
        plot = new uPlot({
          width, height: height || 200,
          padding: [8, 8, 0, 0],
          legend: {show: false},
          cursor: {show: false},
          scales: {x: {time: false, range: [-0.5, stages.length - 0.5]}, y: {range: (u, min, max) => [0, Math.max(10, max * 1.15)]}},
          axes: [
            {stroke: c.muted, grid: {show: false}, ticks: {show: false}, splits: () => x,
              values: (u, splits) => splits.map(i => labels[i] || ''), font: '12px "Noto Sans CJK SC", sans-serif'},
            {stroke: c.muted, grid: {stroke: c.line, width: 1}, ticks: {show: false}, size: 56,
              values: (u, splits) => splits.map(v => `${v} 万`), font: '12px "Noto Sans CJK SC", sans-serif'},
          ],
          series: [{}, {label: '金额（万元）', stroke: c.accent, fill: c.accent, paths: bars, points: {show: false}}],
        }, [x, amounts], box.current);
        observer = new ResizeObserver(() => {
          if (plot && box.current) plot.setSize({width: Math.max(200, box.current.clientWidth), height: height || 200});
        });
        observer.observe(box.current);
      }, error => setFailed(error.message));
      return () => {
        gone = true;
        if (observer) observer.disconnect();
        if (plot) plot.destroy();
      };
    }, [JSON.stringify(stages), scheme]);
    if (failed) return html`<p class="muted">${failed}</p>`;
    return html`<div class="chart" ref=${box} role="img"
      aria-label=${stages.map(s => `${s.label} ${s.count} 个`).join('，')}></div>`;
  }

  K.chart = {PipelineChart, loadUPlot};
})();
