// Position over time on a canvas: the last `spanMs`, the newest at the right.
export function drawPlot(canvas, samples, spanMs, nowMs) {
  // Drawn at the size it is shown, so its labels stay readable on a phone.
  const shownWidth = Math.round(canvas.clientWidth);
  if (shownWidth > 0 && canvas.width !== shownWidth) {
    canvas.width = shownWidth;
    canvas.height = Math.max(160, Math.round(shownWidth * 0.34));
  }
  const ctx = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height, left = 48, bottom = 20, top = 8;
  ctx.clearRect(0, 0, w, h);
  ctx.font = "12px system-ui, sans-serif";
  ctx.fillStyle = "#5b6570";
  const shown = samples.filter(([t]) => t >= nowMs - spanMs);
  if (shown.length === 0) {
    ctx.fillText("no position yet", left, h / 2);
    return;
  }
  let lo = Math.min(...shown.map(s => s[1])), hi = Math.max(...shown.map(s => s[1]));
  if (hi - lo < 1) { lo -= 0.5; hi += 0.5; }
  const x = t => left + (w - left - 4) * (1 - (nowMs - t) / spanMs);
  const y = v => top + (h - top - bottom) * (1 - (v - lo) / (hi - lo));
  ctx.strokeStyle = "#d5dbe1";
  ctx.beginPath();
  ctx.moveTo(left, top); ctx.lineTo(left, h - bottom); ctx.lineTo(w, h - bottom);
  ctx.stroke();
  ctx.fillText(String(+hi.toFixed(2)), 2, top + 10);
  ctx.fillText(String(+lo.toFixed(2)), 2, h - bottom);
  ctx.fillText(`-${Math.round(spanMs / 60000)} min`, left, h - 4);
  ctx.fillText("now", w - 30, h - 4);
  ctx.strokeStyle = "#0b63c5";
  ctx.lineWidth = 2;
  ctx.beginPath();
  shown.forEach(([t, v], i) => (i ? ctx.lineTo(x(t), y(v)) : ctx.moveTo(x(t), y(v))));
  ctx.lineTo(x(nowMs), y(shown[shown.length - 1][1]));
  ctx.stroke();
}
