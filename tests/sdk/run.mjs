// The real OpenAI (and its AzureOpenAI client), Anthropic and Google GenAI
// SDKs against a mock provider, once directly and once through `tokentally
// serve`: what the SDK hands the application must be the same both ways, and
// the ledger row must hold the mock's counts and their cache-priced cost.
// With the [proxy] switches off, Azure and Gemini's native calls behave as
// they did before the switches. Exits 77 (skipped) when the SDKs are not
// installed (`make sdk-deps`).
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

import { ANTHROPIC_OUTPUT_TOKENS, ANTHROPIC_START_USAGE, GEMINI_USAGE, OPENAI_USAGE, startMock } from './mock_provider.mjs';

const SKIPPED = 77;

let OpenAI, AzureOpenAI, Anthropic, GoogleGenAI;
try {
  ({ default: OpenAI, AzureOpenAI } = await import('openai'));
  Anthropic = (await import('@anthropic-ai/sdk')).default;
  ({ GoogleGenAI } = await import('@google/genai'));
} catch {
  console.log('SDKs not installed (run `make sdk-deps`): skipped');
  process.exit(SKIPPED);
}

const BIN = process.env.TOKENTALLY_BIN;
if (!BIN) throw new Error('TOKENTALLY_BIN is not set');

const PRICES = `
[pricing."openai/gpt-sdk-test"]
input = 2.0
output = 8.0
cache_read = 0.5

[pricing."anthropic/claude-sdk-test"]
input = 3.0
output = 15.0
cache_read = 0.3
cache_write = 3.75
cache_write_1h = 6.0

[pricing."google/gemini-sdk-test"]
input = 1.5
output = 9.0
cache_read = 0.15
`;

const perMillion = (tokens, price) => (tokens / 1e6) * price;
// The formulas of the two provider styles, in the order the proxy adds them.
const OPENAI_COST =
  perMillion(OPENAI_USAGE.prompt_tokens - OPENAI_USAGE.prompt_tokens_details.cached_tokens, 2.0) +
  perMillion(OPENAI_USAGE.prompt_tokens_details.cached_tokens, 0.5) + perMillion(0, 2.0) +
  perMillion(OPENAI_USAGE.completion_tokens, 8.0);
const ANTHROPIC_COST =
  perMillion(ANTHROPIC_START_USAGE.input_tokens, 3.0) +
  perMillion(ANTHROPIC_START_USAGE.cache_read_input_tokens, 0.3) +
  perMillion(ANTHROPIC_START_USAGE.cache_creation.ephemeral_5m_input_tokens, 3.75) +
  perMillion(ANTHROPIC_START_USAGE.cache_creation.ephemeral_1h_input_tokens, 6.0) +
  perMillion(ANTHROPIC_OUTPUT_TOKENS, 15.0);
// Gemini: the cached content is part of the prompt, thinking is output.
const GEMINI_COMPLETION = GEMINI_USAGE.candidatesTokenCount + GEMINI_USAGE.thoughtsTokenCount;
const GEMINI_COST =
  perMillion(GEMINI_USAGE.promptTokenCount - GEMINI_USAGE.cachedContentTokenCount, 1.5) +
  perMillion(GEMINI_USAGE.cachedContentTokenCount, 0.15) + perMillion(GEMINI_COMPLETION, 9.0);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tokentally-sdk-'));
const env = { ...process.env, HOME: path.join(work, 'home'), TOKENTALLY_DATA_DIR: path.join(work, 'data') };
fs.mkdirSync(env.HOME);

// `proxy`: the [proxy] switches, "" for none.
function configure(streamUsage, proxy = '') {
  fs.writeFileSync(path.join(env.HOME, '.tokentally.toml'),
    `[proxy]\n${proxy}\n[accounting]\nstream_usage = "${streamUsage}"\ncache_pricing = true\n${PRICES}`);
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function startServe() {
  const port = await freePort();
  const log = fs.openSync(path.join(work, 'serve.log'), 'w');
  const child = spawn(BIN, ['serve', '--port', String(port), '--workers', '2'], { env, stdio: ['ignore', log, log] });
  const url = `http://127.0.0.1:${port}`;
  for (let i = 0; i < 300; ++i) {
    try {
      if ((await fetch(`${url}/health`)).ok) return { child, url };
    } catch {}
    await new Promise((r) => setTimeout(r, 50));
  }
  child.kill('SIGKILL');
  throw new Error(`tokentally serve did not come up; see ${path.join(work, 'serve.log')}`);
}

function lastRow() {
  const rows = JSON.parse(execFileSync(BIN, ['recent', '--json', '-n', '1'], { env }).toString());
  return rows[0];
}

async function openaiChunks(baseURL, headers, params) {
  const client = new OpenAI({ apiKey: 'sk-test', baseURL: `${baseURL}/v1`, defaultHeaders: headers, maxRetries: 0 });
  const chunks = [];
  for await (const chunk of await client.chat.completions.create(params)) chunks.push(chunk);
  return chunks;
}

async function anthropicStream(baseURL, headers, params) {
  const client = new Anthropic({ apiKey: 'sk-ant-test', baseURL, defaultHeaders: headers, maxRetries: 0 });
  const stream = client.messages.stream(params);
  const events = [];
  for await (const event of stream) events.push(event);
  return { events, final: await stream.finalMessage() };
}

async function azureChat(endpoint, headers, params) {
  const client = new AzureOpenAI({
    apiKey: 'azure-test', endpoint, apiVersion: '2024-10-21', deployment: 'gpt-sdk-deploy',
    defaultHeaders: headers, maxRetries: 0,
  });
  const answer = await client.chat.completions.create(params);
  if (!params.stream) return answer;
  const chunks = [];
  for await (const chunk of answer) chunks.push(chunk);
  return chunks;
}

function genai(baseUrl, headers) {
  return new GoogleGenAI({ apiKey: 'gemini-test-key', httpOptions: { baseUrl, headers } });
}

// What the application reads of a Gemini answer: everything but the HTTP
// headers the SDK attaches, which a proxy passes back filtered.
function geminiResult(response) {
  const { sdkHttpResponse, ...result } = JSON.parse(JSON.stringify(response));
  return result;
}

async function geminiStream(baseUrl, headers, params) {
  const chunks = [];
  for await (const chunk of await genai(baseUrl, headers).models.generateContentStream(params)) {
    chunks.push(geminiResult(chunk));
  }
  return chunks;
}

function assertRow(row, prompt, completion, cost, cacheRead, cacheWrite, streamed = 1) {
  assert.equal(row.streamed, streamed);
  assert.equal(row.status, 200);
  assert.equal(row.prompt_tokens, prompt);
  assert.equal(row.completion_tokens, completion);
  assert.ok(Math.abs(row.cost_usd - cost) <= 1e-15, `cost ${row.cost_usd}, expected ${cost}`);
  assert.equal(row.cache_read_tokens, cacheRead);
  assert.equal(row.cache_write_tokens, cacheWrite);
}

const results = [];
async function check(name, body) {
  await body();
  results.push(name);
  console.log(`ok - ${name}`);
}

const mock = await startMock();
const mockUrl = `http://127.0.0.1:${mock.address().port}`;
const viaProxy = { 'X-Tokentally-Target': mockUrl, 'X-Tokentally-Tag': 'sdk' };
let serve;
try {
  configure('read');
  serve = await startServe();

  await check('openai stream with include_usage: same chunks through the proxy, row priced', async () => {
    const params = {
      model: 'gpt-sdk-test', stream: true, stream_options: { include_usage: true },
      messages: [{ role: 'user', content: 'Say hello.' }],
    };
    const direct = await openaiChunks(mockUrl, {}, params);
    const proxied = await openaiChunks(serve.url, viaProxy, params);
    assert.deepEqual(proxied, direct);
    assert.deepEqual(direct.at(-1).usage, OPENAI_USAGE);
    assertRow(lastRow(), 3000, 50, OPENAI_COST, 2048, null);
  });

  await check('anthropic messages.stream: same events and final message through the proxy, row priced', async () => {
    const params = { model: 'claude-sdk-test', max_tokens: 64, messages: [{ role: 'user', content: 'Say hello.' }] };
    const direct = await anthropicStream(mockUrl, {}, params);
    const proxied = await anthropicStream(serve.url, viaProxy, params);
    assert.deepEqual(proxied.events, direct.events);
    assert.deepEqual(proxied.final, direct.final);
    assert.equal(direct.final.usage.output_tokens, ANTHROPIC_OUTPUT_TOKENS);
    assertRow(lastRow(), 25, 42, ANTHROPIC_COST, 5000, 1200);
  });

  configure('request');
  await check('openai stream that did not ask for usage ("request"): the chunks it gets direct, row priced', async () => {
    const params = { model: 'gpt-sdk-test', stream: true, messages: [{ role: 'user', content: 'Say hello.' }] };
    const direct = await openaiChunks(mockUrl, {}, params);
    const proxied = await openaiChunks(serve.url, viaProxy, params);
    assert.deepEqual(proxied, direct);
    assert.ok(direct.every((c) => c.choices.length > 0 && c.usage === undefined));
    assertRow(lastRow(), 3000, 50, OPENAI_COST, 2048, null);
  });
  const chat = { model: 'gpt-sdk-test', messages: [{ role: 'user', content: 'Say hello.' }] };
  const azurePath = '/openai/deployments/gpt-sdk-deploy/chat/completions?api-version=2024-10-21';
  configure('read', 'keep_query = true');
  await check('AzureOpenAI with keep_query: same answers through the proxy, the mock sees the same query', async () => {
    mock.requests.length = 0;
    const direct = await azureChat(mockUrl, {}, chat);
    const proxied = await azureChat(serve.url, viaProxy, chat);
    assert.deepEqual(proxied, direct);
    assertRow(lastRow(), 3000, 50, OPENAI_COST, 2048, null, 0);
    const streamParams = { ...chat, stream: true, stream_options: { include_usage: true } };
    const directChunks = await azureChat(mockUrl, {}, streamParams);
    const proxiedChunks = await azureChat(serve.url, viaProxy, streamParams);
    assert.deepEqual(proxiedChunks, directChunks);
    assertRow(lastRow(), 3000, 50, OPENAI_COST, 2048, null);
    assert.deepEqual(mock.requests, [azurePath, azurePath, azurePath, azurePath]);
  });

  const gemini = { model: 'gemini-sdk-test', contents: 'Say hello.' };
  configure('read', 'gemini_native = true');
  await check('@google/genai generateContent with gemini_native: same result, row under google/{model}', async () => {
    const direct = await genai(mockUrl, {}).models.generateContent(gemini);
    const proxied = await genai(serve.url, viaProxy).models.generateContent(gemini);
    assert.deepEqual(geminiResult(proxied), geminiResult(direct));
    assert.equal(direct.text, 'Hello from the mock provider.');
    const row = lastRow();
    assert.equal(row.model_id, 'google/gemini-sdk-test');
    assertRow(row, GEMINI_USAGE.promptTokenCount, GEMINI_COMPLETION, GEMINI_COST, GEMINI_USAGE.cachedContentTokenCount,
      null, 0);
  });

  await check('@google/genai generateContentStream with gemini_native: same chunks, row streamed and priced', async () => {
    mock.requests.length = 0;
    const direct = await geminiStream(mockUrl, {}, gemini);
    const proxied = await geminiStream(serve.url, viaProxy, gemini);
    assert.deepEqual(proxied, direct);
    assert.equal(direct.length, 7);
    const row = lastRow();
    assert.equal(row.model_id, 'google/gemini-sdk-test');
    assertRow(row, GEMINI_USAGE.promptTokenCount, GEMINI_COMPLETION, GEMINI_COST, GEMINI_USAGE.cachedContentTokenCount,
      null);
    assert.equal(mock.requests.length, 2);
    assert.equal(mock.requests[1], mock.requests[0]);
    assert.match(mock.requests[0], /\/models\/gemini-sdk-test:streamGenerateContent\?alt=sse$/);
  });

  await check('a key in the query reaches the provider and never the log of tokentally serve', async () => {
    mock.requests.length = 0;
    const secret = 'AIza-sdk-query-secret';
    const url = `${serve.url}/v1beta/models/gemini-sdk-test:generateContent?key=${secret}`;
    const call = (target) => fetch(url, {
      method: 'POST',
      headers: { 'X-Tokentally-Target': target, 'X-Tokentally-Cache': 'off', 'content-type': 'application/json' },
      body: JSON.stringify({ contents: [{ role: 'user', parts: [{ text: 'Say hello.' }] }] }),
    });
    assert.equal((await call(mockUrl)).status, 200);
    assert.equal((await call('http://127.0.0.1:1')).status, 500);
    assert.ok(mock.requests[0].endsWith(`:generateContent?key=${secret}`));
    const log = fs.readFileSync(path.join(work, 'serve.log'), 'utf8');
    assert.ok(log.includes(':generateContent?... failed'), log);
    assert.ok(!log.includes(secret));
  });

  configure('read');
  await check('switches off: Azure gets no api-version (404), Gemini answers unrecorded, its stream unreadable', async () => {
    // (Not from the exact cache, which the call above filled.)
    await assert.rejects(azureChat(serve.url, { ...viaProxy, 'X-Tokentally-Cache': 'off' }, chat), (e) => e.status === 404);
    const direct = await genai(mockUrl, {}).models.generateContent(gemini);
    const proxied = await genai(serve.url, viaProxy).models.generateContent(gemini);
    assert.deepEqual(geminiResult(proxied), geminiResult(direct));
    const row = lastRow();
    assert.equal(row.model_id, null);
    assert.equal(row.prompt_tokens, null);
    assert.equal(row.cost_usd, null);
    // The query that asks for events is dropped: the JSON array comes back
    // in one piece, which the SDK cannot read as events.
    await assert.rejects(geminiStream(serve.url, viaProxy, gemini), /Incomplete JSON segment/);
    assert.equal(lastRow().streamed, 0);
  });

  const version = (name) =>
    JSON.parse(fs.readFileSync(new URL(`./node_modules/${name}/package.json`, import.meta.url))).version;
  console.log(`${results.length} SDK checks passed (openai ${version('openai')}, @anthropic-ai/sdk ` +
    `${version('@anthropic-ai/sdk')}, @google/genai ${version('@google/genai')})`);
} finally {
  if (serve) serve.child.kill('SIGTERM');
  mock.close();
  if (serve) await new Promise((r) => serve.child.on('exit', r));
  fs.rmSync(work, { recursive: true, force: true });
}
