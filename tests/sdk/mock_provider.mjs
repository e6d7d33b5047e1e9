// A provider for the SDK tests on 127.0.0.1: OpenAI chat completions and
// Anthropic messages, streamed or not, with usage blocks that carry cached
// tokens. The usage-only chunk of a chat stream comes only when the request
// asks for it, as at OpenAI.
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

// Writes each event as its own chunk, a few milliseconds apart, as a
// provider generating tokens does.
async function stream(res, events) {
  res.writeHead(200, { 'content-type': 'text/event-stream', 'cache-control': 'no-cache' });
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

async function handle(req, res) {
  let text = '';
  for await (const piece of req) text += piece;
  const body = text ? JSON.parse(text) : {};
  if (req.url.endsWith('/chat/completions')) {
    if (body.stream) return stream(res, chatEvents(body));
    return answer(res, {
      id: 'chatcmpl-mock', object: 'chat.completion', created: 1765000000, model: body.model,
      choices: [{ index: 0, message: { role: 'assistant', content: WORDS.join('') }, finish_reason: 'stop' }],
      usage: OPENAI_USAGE,
    });
  }
  if (req.url.endsWith('/messages')) {
    if (body.stream) return stream(res, anthropicEvents(body));
  }
  res.writeHead(404, { 'content-type': 'application/json' });
  res.end(JSON.stringify({ error: { message: `no mock for ${req.method} ${req.url}` } }));
}

export function startMock() {
  const server = http.createServer((req, res) => {
    handle(req, res).catch((e) => {
      res.writeHead(500);
      res.end(String(e));
    });
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}
