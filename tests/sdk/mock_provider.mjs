// A provider for the SDK tests on 127.0.0.1: OpenAI chat completions (also
// under Azure OpenAI's deployment paths, which need ?api-version), Anthropic
// messages and Gemini's native generateContent and streamGenerateContent,
// streamed or not, with usage blocks that carry cached tokens. The
// usage-only chunk of a chat stream comes only when the request asks for it,
// as at OpenAI; Gemini streams events with alt=sse and one JSON array
// without it. The server keeps the path and query of every request in
// `requests`.
import http from 'node:http';

export const OPENAI_USAGE = {
  prompt_tokens: 3000,
  completion_tokens: 50,
  total_tokens: 3050,
  prompt_tokens_details: { cached_tokens: 2048 },
  completion_tokens_details: { reasoning_tokens: 0 },
};

export const ANTHROPIC_START_USAGE = {
  input_tokens: 25,
  cache_creation_input_tokens: 1200,
  cache_read_input_tokens: 5000,
  cache_creation: { ephemeral_5m_input_tokens: 200, ephemeral_1h_input_tokens: 1000 },
  output_tokens: 1,
};
export const ANTHROPIC_OUTPUT_TOKENS = 42;

export const GEMINI_USAGE = {
  promptTokenCount: 1200,
  candidatesTokenCount: 17,
  totalTokenCount: 1265,
  cachedContentTokenCount: 1024,
  thoughtsTokenCount: 48,
};

const WORDS = ['Hello', ' from', ' the', ' mock', ' provider', '.'];

function chatChunk(model, delta, finish) {
  return {
    id: 'chatcmpl-mock',
    object: 'chat.completion.chunk',
    created: 1765000000,
    model,
    system_fingerprint: 'fp_mock',
    choices: [{ index: 0, delta, logprobs: null, finish_reason: finish }],
  };
}

function chatEvents(body) {
  const withUsage = body.stream_options?.include_usage === true;
  const mark = (chunk) => (withUsage ? { ...chunk, usage: null } : chunk);
  const events = [mark(chatChunk(body.model, { role: 'assistant', content: '' }, null))];
  for (const w of WORDS) events.push(mark(chatChunk(body.model, { content: w }, null)));
  events.push(mark(chatChunk(body.model, {}, 'stop')));
  if (withUsage) events.push({ ...chatChunk(body.model, {}, null), choices: [], usage: OPENAI_USAGE });
  return events.map((e) => `data: ${JSON.stringify(e)}\n\n`).concat(['data: [DONE]\n\n']);
}

function anthropicEvents(body) {
  const message = {
    id: 'msg_mock',
    type: 'message',
    role: 'assistant',
    model: body.model,
    content: [],
    stop_reason: null,
    stop_sequence: null,
    usage: ANTHROPIC_START_USAGE,
  };
  const events = [
    ['message_start', { type: 'message_start', message }],
    ['content_block_start', { type: 'content_block_start', index: 0, content_block: { type: 'text', text: '' } }],
    ['ping', { type: 'ping' }],
  ];
  for (const w of WORDS)
    events.push(['content_block_delta', { type: 'content_block_delta', index: 0, delta: { type: 'text_delta', text: w } }]);
  events.push(['content_block_stop', { type: 'content_block_stop', index: 0 }]);
  events.push(['message_delta', {
    type: 'message_delta',
    delta: { stop_reason: 'end_turn', stop_sequence: null },
    usage: { output_tokens: ANTHROPIC_OUTPUT_TOKENS },
  }]);
  events.push(['message_stop', { type: 'message_stop' }]);
  return events.map(([name, data]) => `event: ${name}\ndata: ${JSON.stringify(data)}\n\n`);
}

// Gemini's pieces carry running totals; the last one, without text, the
// final figures.
function geminiPieces(model) {
  const piece = (text, candidates, finish) => ({
    candidates: [{ content: { parts: [{ text }], role: 'model' }, ...(finish ? { finishReason: 'STOP' } : {}), index: 0 }],
    usageMetadata: { ...GEMINI_USAGE, candidatesTokenCount: candidates, totalTokenCount: 1200 + 48 + candidates },
    modelVersion: model,
    responseId: 'gemini-mock',
  });
  const pieces = WORDS.map((w, i) => piece(w, 3 * (i + 1), false));
  pieces.push(piece('', GEMINI_USAGE.candidatesTokenCount, true));
  return pieces;
}

function geminiAnswer(model) {
  return {
    candidates: [{ content: { parts: [{ text: WORDS.join('') }], role: 'model' }, finishReason: 'STOP', index: 0 }],
    usageMetadata: GEMINI_USAGE,
    modelVersion: model,
    responseId: 'gemini-mock',
  };
}

// With alt=sse, events with CRLF line ends; without it, one JSON array
// written element by element, as Gemini does.
function geminiStream(model, sse) {
  const pieces = geminiPieces(model);
  if (sse) return pieces.map((p) => `data: ${JSON.stringify(p)}\r\n\r\n`);
  return pieces.map((p, i) => `${i === 0 ? '[' : ',\r\n'}${JSON.stringify(p, null, 2)}${i === pieces.length - 1 ? ']' : ''}`);
}

// Writes each event as its own chunk, a few milliseconds apart, as a
// provider generating tokens does.
async function stream(res, events, contentType = 'text/event-stream') {
  res.writeHead(200, { 'content-type': contentType, 'cache-control': 'no-cache' });
  for (const e of events) {
    res.write(e);
    await new Promise((r) => setTimeout(r, 3));
  }
  res.end();
}

function answer(res, body) {
  res.writeHead(200, { 'content-type': 'application/json', 'x-request-id': 'req-mock' });
  res.end(JSON.stringify(body));
}

function notFound(res, message) {
  res.writeHead(404, { 'content-type': 'application/json' });
  res.end(JSON.stringify({ error: { code: '404', message } }));
}

async function handle(req, res, requests) {
  requests.push(req.url);
  let text = '';
  for await (const piece of req) text += piece;
  const body = text ? JSON.parse(text) : {};
  const url = new URL(req.url, 'http://mock');
  const native = url.pathname.match(/\/models\/([^/:]+):(generateContent|streamGenerateContent)$/);
  if (native) {
    if (native[2] === 'generateContent') return answer(res, geminiAnswer(native[1]));
    const sse = url.searchParams.get('alt') === 'sse';
    return stream(res, geminiStream(native[1], sse), sse ? 'text/event-stream' : 'application/json');
  }
  // Azure OpenAI answers 404 to a call without its api-version.
  if (url.pathname.startsWith('/openai/deployments/') && !url.searchParams.get('api-version'))
    return notFound(res, 'Resource not found');
  if (url.pathname.endsWith('/chat/completions')) {
    if (body.stream) return stream(res, chatEvents(body));
    return answer(res, {
      id: 'chatcmpl-mock', object: 'chat.completion', created: 1765000000, model: body.model,
      choices: [{ index: 0, message: { role: 'assistant', content: WORDS.join('') }, finish_reason: 'stop' }],
      usage: OPENAI_USAGE,
    });
  }
  if (url.pathname.endsWith('/messages')) {
    if (body.stream) return stream(res, anthropicEvents(body));
  }
  notFound(res, `no mock for ${req.method} ${req.url}`);
}

export function startMock() {
  const requests = [];
  const server = http.createServer((req, res) => {
    handle(req, res, requests).catch((e) => {
      res.writeHead(500);
      res.end(String(e));
    });
  });
  server.requests = requests;
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}
