// The compile report's script and style rules. The script only lays out what the data block
// holds: coordinates, labels that fit, hover text in the words the static charts use. The
// sizes, margins and label rule are those of the peak chart (report_svg.cpp), so that the
// drawn charts match it.
#include "report_script.hpp"

namespace velk_views {
namespace {

constexpr std::string_view STYLE = R"(
nav.chooser { margin: 6px 0; }
nav.chooser input { width: 6em; }
details > summary { cursor: pointer; margin: 4px 0; color: #333; }
p.rows { color: #555; margin: 2px 0 4px 0; }
p.rows button, nav.chooser button { font-size: 12px; }
svg .tile-row rect:hover { fill: #e8eef8; }
)";

constexpr std::string_view SCRIPT = R"(
(() => {
  'use strict';
  const data = JSON.parse(document.getElementById('report-data').textContent);
  const WIDTH = 1300;
  const CHAR_WIDTH = 6.2; // of a 10 px label, to judge whether a label fits its region
  const ROWS_SHOWN = 32; // rows of a launch chart drawn at a time
  const WINDOWS = [{name: 'exchange window', height: 150}, {name: 'data window', height: 300}];
  const REGION = 6; // numbers per region of a map panel
  const SLICE = 5; // numbers per slice of a launch row
  const ESCAPES = {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'};

  const esc = (s) => String(s).replace(/[&<>"']/g, (c) => ESCAPES[c]);
  const num = (v) => v.toFixed(1);
  const hex = (v) => '0x' + v.toString(16).toUpperCase();
  const plural = (n, noun) => n + ' ' + noun + (n === 1 ? '' : 's');
  const tileName = (t) => 'tile ' + String(t).padStart(data.tileDigits, '0');
  const tensorName = (t) => (t < data.tensors.length ? data.tensors[t] : '?');
  const colour = (t) => data.colours[t % data.colours.length];

  // As byte_size: the largest unit that leaves at least 1, up to two decimals.
  function byteSize(bytes) {
    const units = ['B', 'KiB', 'MiB', 'GiB'];
    let unit = 0;
    let scale = 1;
    while (unit + 1 < units.length && bytes >= scale * 1024) {
      scale *= 1024;
      ++unit;
    }
    if (unit === 0) return bytes + ' B';
    const hundredths = Math.floor(bytes / scale) * 100 + Math.floor(((bytes % scale) * 100 + Math.floor(scale / 2)) / scale);
    let text = String(Math.floor(hundredths / 100));
    const fraction = hundredths % 100;
    if (fraction !== 0) {
      text += '.' + (fraction < 10 ? '0' : '') + fraction;
      if (text.endsWith('0')) text = text.slice(0, -1);
    }
    return text + ' ' + units[unit];
  }

  const svgOpen = (w, h, cls) =>
    `<svg class="${cls}" width="${num(w)}" height="${num(h)}" viewBox="0 0 ${num(w)} ${num(h)}">\n`;
  const rect = (x, y, w, h, fill, extra) =>
    `<rect x="${num(x)}" y="${num(y)}" width="${num(w)}" height="${num(h)}" fill="${fill}"${extra ? ' ' + extra : ''}/>`;
  const text = (x, y, content, extra) =>
    `<text x="${num(x)}" y="${num(y)}"${extra ? ' ' + extra : ''}>${esc(content)}</text>`;
  const line = (x1, y1, x2, y2, cls) =>
    `<line class="${cls}" x1="${num(x1)}" y1="${num(y1)}" x2="${num(x2)}" y2="${num(y2)}"/>`;
  const title = (s) => `<title>${esc(s)}</title>`;

  function regionTitle(r) {
    const [tensor, address, size, from, until, staged] = r;
    const kind = staged >= 0 ? 'staging of exchange phase ' + staged : 'home';
    return `tensor ${tensor} "${tensorName(tensor)}" (${kind})\n` +
      `address ${hex(address)} to ${hex(address + size)}, ${size} bytes (${byteSize(size)})\n` +
      `live in phases ${from} to ${until}`;
  }

  // The longest of "name · size · lifetime", "name · size" and "name" that fits the region.
  function regionLabel(r, width, height) {
    if (height < 11) return '';
    const name = tensorName(r[0]);
    const sized = name + ' · ' + byteSize(r[2]);
    const full = sized + ' · ' + r[3] + '–' + r[4];
    for (const candidate of [full, sized, name]) {
      if ([...candidate].length * CHAR_WIDTH + 6 <= width) return candidate;
    }
    return '';
  }

  // Address (down) against phase (across): one <g class="region"> per allocation of the tile.
  function memoryMapSvg(tile) {
    const LEFT = 96;
    const TOP = 24;
    const PANEL_GAP = 40;
    const panels = data.maps[data.tileMaps[tile]];
    const phaseCount = data.phaseKinds.length;
    const columns = data.columns;
    const plotWidth = WIDTH - LEFT - 10;
    const column = plotWidth / columns;
    let height = TOP + 8;
    for (const panel of panels) height += PANEL_GAP + WINDOWS[panel[0]].height;
    if (panels.length === 0) height += 30;
    let svg = svgOpen(WIDTH, height, 'memory');
    // Every phase named while the columns are wide enough for it, else every second, fifth, ...
    const every = [1, 2, 5, 10, 20, 50, 100, 200, 500].find((n) => column * n >= 24) || 1000;
    for (let c = 0; c < columns; ++c) {
      const crowded = every > 1 && columns > phaseCount && c + every > phaseCount; // beside "after"
      if (c < phaseCount && (c % every !== 0 || crowded)) continue;
      svg += text(LEFT + column * (c + 0.5), 12, c < phaseCount ? String(c) : 'after', 'text-anchor="middle"') + '\n';
    }
    svg += text(LEFT - 8, 12, 'phase', 'text-anchor="end"') + '\n';
    if (panels.length === 0) svg += text(LEFT, TOP + 30, 'this tile holds no regions') + '\n';
    let y = TOP;
    for (const [window, base, end, step, regions] of panels) {
      const panelHeight = WINDOWS[window].height;
      const top = y + PANEL_GAP - 12;
      svg += text(LEFT, top - 8, `${WINDOWS[window].name}, ${hex(base)} to ${hex(end)}, ` +
        plural(regions.length / REGION, 'region'), 'font-weight="bold"') + '\n';
      svg += rect(LEFT, top, plotWidth, panelHeight, '#fbfbfb', 'stroke="#ccc"') + '\n';
      for (let c = 0; c < phaseCount && c < columns; ++c) {
        if (data.phaseKinds[c] === 'x') svg += rect(LEFT + column * c, top, column, panelHeight, '#e8eef8') + '\n';
      }
      const scale = panelHeight / Math.max(1, end - base);
      for (let address = base; address <= end; address += step) {
        const ty = top + (address - base) * scale;
        svg += line(LEFT - 4, ty, LEFT, ty, 'axis') + text(LEFT - 7, ty + 4, hex(address), 'text-anchor="end"') + '\n';
      }
      for (let i = 0; i < regions.length; i += REGION) {
        const r = regions.slice(i, i + REGION);
        const first = Math.min(r[3], columns - 1);
        const last = Math.min(Math.max(r[4], r[3]), columns - 1);
        const x = LEFT + column * first;
        const width = column * (last - first + 1);
        const ry = top + (r[1] - base) * scale;
        // Every region stays visible and can be hovered, however small beside its window.
        const rh = Math.max(2, r[2] * scale);
        const label = regionLabel(r, width, rh);
        svg += `<g class="region" data-tensor="${r[0]}">` + title(regionTitle(r)) +
          rect(x, ry, width, rh, colour(r[0]), 'stroke="#fff" stroke-width="1"');
        if (label) svg += text(x + 4, ry + rh / 2 + 3.5, label, 'class="label"');
        svg += '</g>\n';
      }
      y = top + panelHeight;
    }
    return svg + '</svg>\n';
  }

  function mapHeading(tile) {
    let regions = 0;
    for (const panel of data.maps[data.tileMaps[tile]]) regions += panel[4].length / REGION;
    const peak = data.peaks[tile];
    return `<h3>${esc(tileName(tile))}: ${plural(regions, 'region')}${peak >= 0 ? ', peak ' + peak + ' bytes' : ''}</h3>\n`;
  }

  // The tile's whole program in the launch, as render_words writes it.
  function programText(name, program) {
    let s = `${name}: its program in this launch, ${program.length / 2} words\n`;
    for (let i = 0; i < program.length; i += 2) {
      s += String(i / 2).padStart(4) + '  ' + data.words[program[i]][1] + ' ends ' + program[i + 1] + '\n';
    }
    return s;
  }

  function sliceTitle(launch, name, program, slice) {
    const [index, role, group, start, end] = slice;
    let hover = `${name}, word ${index}: ${data.roles[role][0]}, cycles ${start} to ${end}\n` +
      data.words[program[2 * index]][0];
    if (group >= 0) {
      const [tensor, bytes, source, slot, destinations] = launch.groups[group];
      hover += `\ngroup ${group} in slot ${slot}: tensor ${tensor} "${tensorName(tensor)}", ${bytes} bytes from ` +
        `tile ${source} to tiles ${destinations.join(', ')}`;
    }
    return hover;
  }

  // Rows first .. last - 1 of the launch, one rect per timed word; the chosen tile's row marked.
  function ganttSvg(launch, first, last, chosen) {
    const LEFT = 84;
    const TOP = 22;
    const ROW = 16;
    const LEGEND = 30;
    const plotWidth = WIDTH - LEFT - 16;
    const rows = last - first;
    const height = TOP + ROW * rows + LEGEND;
    const scale = plotWidth / Math.max(1, launch.cycles);
    let svg = svgOpen(WIDTH, height, 'gantt');
    for (let c = 0; c <= launch.cycles; c += launch.tick) {
      const x = LEFT + c * scale;
      svg += line(x, TOP - 4, x, TOP + ROW * rows, 'grid') + text(x, TOP - 8, String(c), 'text-anchor="middle"') + '\n';
    }
    for (let r = first; r < last; ++r) {
      const tile = launch.rows[2 * r];
      const [program, slices] = data.rows[launch.rows[2 * r + 1]];
      const y = TOP + ROW * (r - first);
      const name = tileName(tile);
      if (tile === chosen && 2 * rows < launch.rows.length) svg += rect(0, y, WIDTH, ROW, '#fff3c4') + '\n';
      svg += '<g class="tile-row">' + title(programText(name, program)) + rect(0, y, LEFT - 4, ROW, 'transparent') +
        text(4, y + ROW - 4, name) + '</g>\n';
      for (let i = 0; i < slices.length; i += SLICE) {
        const slice = slices.slice(i, i + SLICE);
        const x = LEFT + slice[3] * scale;
        const width = Math.max(1, (slice[4] - slice[3]) * scale);
        svg += `<rect class="slice" x="${num(x)}" y="${num(y + 2)}" width="${num(width)}" height="${num(ROW - 4)}" ` +
          `fill="${data.roles[slice[1]][1]}" stroke="#fff" stroke-width="0.5">` +
          title(sliceTitle(launch, name, program, slice)) + '</rect>\n';
      }
    }
    let x = LEFT;
    const legendY = TOP + ROW * rows + 18;
    for (const [name, fill] of data.roles) {
      svg += rect(x, legendY - 9, 12, 10, fill, 'stroke="#999"') + text(x + 16, legendY, name) + '\n';
      x += 28 + CHAR_WIDTH * name.length + 8;
    }
    return svg + '</svg>\n';
  }

  let chosen = 0;
  let offsets = []; // per launch, its first row when moved away from the chosen tile
  const maps = document.getElementById('memory-maps');
  const section = maps.querySelector('section');
  const input = document.getElementById('tile-input');

  // At most ROWS_SHOWN rows: those around the chosen tile, unless moved.
  function rowWindow(launch, k) {
    const count = launch.rows.length / 2;
    if (count <= ROWS_SHOWN) return [0, count];
    let first = offsets[k];
    if (first === undefined) {
      let at = 0;
      while (at < count - 1 && launch.rows[2 * at] < chosen) ++at;
      first = at - ROWS_SHOWN / 2;
    }
    first = Math.max(0, Math.min(first, count - ROWS_SHOWN));
    return [first, first + ROWS_SHOWN];
  }

  function drawLaunch(box) {
    const k = Number(box.dataset.launch);
    const launch = data.launches[k];
    const [first, last] = rowWindow(launch, k);
    let html = '';
    const count = launch.rows.length / 2;
    if (last - first < count) {
      html = `<p class="rows">Rows ${first + 1} to ${last} of ${count}: ` +
        `${esc(tileName(launch.rows[2 * first]))} to ${esc(tileName(launch.rows[2 * (last - 1)]))}. ` +
        `<button type="button" data-shift="-1"${first === 0 ? ' disabled' : ''}>earlier tiles</button> ` +
        `<button type="button" data-shift="1"${last === count ? ' disabled' : ''}>later tiles</button></p>\n`;
    }
    box.dataset.first = String(first);
    box.innerHTML = html + ganttSvg(launch, first, last, chosen);
  }

  function choose(tile) {
    chosen = tile;
    offsets = [];
    input.value = String(tile);
    section.id = 'memory-tile-' + tile;
    section.innerHTML = mapHeading(tile) + memoryMapSvg(tile);
    document.querySelectorAll('div.launch').forEach(drawLaunch);
  }

  function hashTile() {
    const found = /^#memory-tile-(\d+)$/.exec(location.hash);
    const tile = found ? Number(found[1]) : 0;
    return tile < data.tileCount ? tile : 0;
  }

  function go(tile) {
    if (Number.isInteger(tile) && tile >= 0 && tile < data.tileCount) location.hash = 'memory-tile-' + tile;
  }

  if (data.tileCount === 0) return;
  window.addEventListener('hashchange', () => {
    choose(hashTile());
    maps.scrollIntoView();
  });
  input.addEventListener('change', () => go(Number(input.value)));
  document.getElementById('tile-previous').addEventListener('click', () => go(chosen - 1));
  document.getElementById('tile-next').addEventListener('click', () => go(chosen + 1));
  document.addEventListener('click', (event) => {
    const button = event.target.closest('div.launch button[data-shift]');
    if (!button) return;
    const box = button.closest('div.launch');
    offsets[Number(box.dataset.launch)] = Number(box.dataset.first) + Number(button.dataset.shift) * ROWS_SHOWN;
    drawLaunch(box);
  });
  choose(hashTile());
})();
)";

}  // namespace

std::string_view report_style() { return STYLE; }

std::string_view report_script() { return SCRIPT; }

}  // namespace velk_views
