#include "host/gateway/Http2Session.hpp"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/gateway/GatewayLog.hpp"
#include "host/gateway/Uuid.hpp"

namespace host::gateway {

namespace {

constexpr std::size_t kHeaderOverhead = 32;  // per field, as SETTINGS_MAX_HEADER_LIST_SIZE counts
constexpr std::size_t kMaximumHeaderFields = 128;

// `unique`: a value no later answer repeats (an id), kept out of the header compression's
// table, where it would only push out the values that do repeat.
nghttp2_nv field(const std::string& name, const std::string& value, bool unique = false) {
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
          value.size(),
          static_cast<std::uint8_t>(unique ? NGHTTP2_NV_FLAG_NO_INDEX : NGHTTP2_NV_FLAG_NONE)};
}

std::optional<std::string_view> headerValue(const std::vector<Header>& headers,
                                            std::string_view name) {
  for (const Header& header : headers) {
    if (header.name == name) return std::string_view(header.value);
  }
  return std::nullopt;
}

}  // namespace

struct Http2Session::Stream {
  std::int32_t id = 0;
  std::chrono::steady_clock::time_point begun = std::chrono::steady_clock::now();
  std::vector<Header> headers;
  std::size_t headerBytes = 0;
  bool headersOverflowed = false;
  std::size_t limit = 0;  // of the body, known once the headers are
  std::string body;
  bool requestComplete = false;
  bool answered = false;
  std::string response;  // the answer's body, sent from `sent` on
  std::size_t sent = 0;
};

// nghttp2's callbacks, which reach into the session.
struct Http2Callbacks {
  static Http2Session& self(void* user) { return *static_cast<Http2Session*>(user); }

  static Http2Session::Stream* stream(nghttp2_session* session, std::int32_t id) {
    return static_cast<Http2Session::Stream*>(nghttp2_session_get_stream_user_data(session, id));
  }

  static int beginHeaders(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    Http2Session& s = self(user);
    auto made = std::make_unique<Http2Session::Stream>();
    made->id = frame->hd.stream_id;
    made->headers.reserve(8);  // what a client usually sends
    nghttp2_session_set_stream_user_data(session, made->id, made.get());
    s.streams_[made->id] = std::move(made);
    return 0;
  }

  static int header(nghttp2_session* session, const nghttp2_frame* frame, const std::uint8_t* name,
                    std::size_t nameLength, const std::uint8_t* value, std::size_t valueLength,
                    std::uint8_t, void* user) {
    Http2Session::Stream* st = stream(session, frame->hd.stream_id);
    if (st == nullptr || st->headersOverflowed || frame->headers.cat != NGHTTP2_HCAT_REQUEST) {
      return 0;
    }
    st->headerBytes += nameLength + valueLength + kHeaderOverhead;
    if (st->headerBytes > self(user).options_.limits.headerListBytes ||
        st->headers.size() >= kMaximumHeaderFields) {
      st->headersOverflowed = true;
      st->headers.clear();
      st->headers.shrink_to_fit();
      return 0;
    }
    st->headers.push_back({std::string(reinterpret_cast<const char*>(name), nameLength),
                           std::string(reinterpret_cast<const char*>(value), valueLength)});
    return 0;
  }

  static int frameReceived(nghttp2_session* session, const nghttp2_frame* frame, void* user) {
    Http2Session& s = self(user);
    switch (frame->hd.type) {
      case NGHTTP2_SETTINGS:
        s.sawFirstFrame_ = true;
        return 0;
      case NGHTTP2_RST_STREAM:
        s.noteReset();
        return 0;
      case NGHTTP2_HEADERS:
      case NGHTTP2_DATA:
        break;
      default:
        return 0;
    }
    Http2Session::Stream* st = stream(session, frame->hd.stream_id);
    if (st == nullptr || st->answered) return 0;
    if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
      if (st->headersOverflowed) {
        nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, st->id, NGHTTP2_PROTOCOL_ERROR);
        st->answered = true;
        return 0;
      }
      st->limit = payloadLimit(st->headers);
    }
    if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) s.requestComplete(*st);
    return 0;
  }

  static int dataChunk(nghttp2_session* session, std::uint8_t, std::int32_t id,
                       const std::uint8_t* data, std::size_t length, void* user) {
    Http2Session::Stream* st = stream(session, id);
    if (st == nullptr || st->answered) return 0;
    // One byte past the limit tells the check the body is too large; the rest is not kept.
    const std::size_t room = st->limit + 1 - std::min(st->body.size(), st->limit + 1);
    st->body.append(reinterpret_cast<const char*>(data), std::min(room, length));
    if (st->body.size() > st->limit) self(user).respond(*st);
    return 0;
  }

  static int frameSent(nghttp2_session* session, const nghttp2_frame* frame, void*) {
    if ((frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) ||
        (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0) {
      return 0;
    }
    // Answered before the request ended (a body over its limit, the stop): the rest of it is
    // not wanted.
    Http2Session::Stream* st = stream(session, frame->hd.stream_id);
    if (st != nullptr && !st->requestComplete) {
      nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, st->id, NGHTTP2_NO_ERROR);
    }
    return 0;
  }

  static int streamClosed(nghttp2_session*, std::int32_t id, std::uint32_t, void* user) {
    self(user).streams_.erase(id);
    return 0;
  }

  static ssize_t readResponse(nghttp2_session*, std::int32_t, std::uint8_t* buffer,
                              std::size_t length, std::uint32_t* flags, nghttp2_data_source* source,
                              void*) {
    auto* st = static_cast<Http2Session::Stream*>(source->ptr);
    const std::size_t count = std::min(length, st->response.size() - st->sent);
    std::copy_n(st->response.data() + st->sent, count, buffer);
    st->sent += count;
    if (st->sent == st->response.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(count);
  }
};

Http2Session::Http2Session(const GatewayOptions& options, PushSink& sink, Peer peer)
    : options_(options),
      sink_(sink),
      peer_(std::move(peer)),
      token_(options.providerToken ? &*options.providerToken : nullptr),
      resetAllowance_(options.limits.resetBurst),
      resetCounted_(std::chrono::steady_clock::now()) {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Http2Callbacks::beginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, &Http2Callbacks::header);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Http2Callbacks::frameReceived);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Http2Callbacks::dataChunk);
  nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, &Http2Callbacks::frameSent);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Http2Callbacks::streamClosed);
  nghttp2_session_server_new(&session_, callbacks, this);
  nghttp2_session_callbacks_del(callbacks);

  // A token connection gets one stream until its first valid token, as the service does.
  const std::uint32_t streams =
      peer_.authentication == Authentication::token ? 1 : options_.limits.concurrentStreams;
  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, streams},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE,
       static_cast<std::uint32_t>(options_.limits.headerListBytes)},
  };
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, std::size(settings));
}

Http2Session::~Http2Session() {
  // Streams go with the session, whose close callbacks must not find this half-destroyed.
  nghttp2_session_del(session_);
}

std::int64_t Http2Session::now() const {
  return options_.clock ? options_.clock() : static_cast<std::int64_t>(std::time(nullptr));
}

void Http2Session::fail(std::string reason) {
  if (closeReason_.empty()) closeReason_ = std::move(reason);
}

bool Http2Session::receive(const std::uint8_t* data, std::size_t length) {
  const ssize_t used = nghttp2_session_mem_recv(session_, data, length);
  if (used < 0) {
    fail(used == NGHTTP2_ERR_BAD_CLIENT_MAGIC
             ? "not HTTP/2: the client did not open with the HTTP/2 connection preface"
             : std::string("HTTP/2: ") + nghttp2_strerror(static_cast<int>(used)));
    return false;
  }
  return closeReason_.empty() || nghttp2_session_want_write(session_) != 0;
}

bool Http2Session::produce(std::string& out, std::size_t upTo) {
  while (out.size() < upTo) {
    const std::uint8_t* data = nullptr;
    const ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length < 0) {
      fail(std::string("HTTP/2: ") + nghttp2_strerror(static_cast<int>(length)));
      return false;
    }
    if (length == 0) break;
    out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  }
  return true;
}

bool Http2Session::finished() const {
  return nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0;
}

void Http2Session::noteReset() {
  const auto now = std::chrono::steady_clock::now();
  const double burst = options_.limits.resetBurst;
  const double seconds = std::chrono::duration<double>(now - resetCounted_).count();
  resetCounted_ = now;
  resetAllowance_ = std::min(burst, resetAllowance_ + seconds * burst / 10.0) - 1.0;
  if (resetAllowance_ < 0 && closeReason_.empty()) {
    fail("a flood of stream resets");
    nghttp2_session_terminate_session(session_, NGHTTP2_ENHANCE_YOUR_CALM);
  }
}

void Http2Session::requestComplete(Stream& stream) {
  stream.requestComplete = true;
  if (!stream.answered) respond(stream);
}

void Http2Session::respond(Stream& stream) {
  const std::string newId = newUuid();
  CheckContext context;
  context.deviceToken = options_.deviceToken;
  context.appTopic = options_.topic;
  context.authentication = peer_.authentication;
  context.certificateTopic = peer_.certificateTopic;
  context.newId = newId;
  if (peer_.authentication == Authentication::token) {
    const bool hadToken = token_.accepted();
    context.tokenRefusal = token_.judge(headerValue(stream.headers, "authorization"), now());
    if (!hadToken && token_.accepted()) {
      const nghttp2_settings_entry more[] = {
          {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, options_.limits.concurrentStreams}};
      nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, more, std::size(more));
    }
  }
  Verdict verdict = checkRequest(stream.headers, std::move(stream.body), context);
  const os_activity_t activity = pushActivity(verdict.apnsId);
  system_log::ActivityScope scope(activity);
  // What the log says of the push, kept before the sink takes it; nothing when nobody reads it.
  const bool logged = pushEventsEnabled();
  std::string uniqueId;
  std::string topic;
  std::string pushType;
  if (verdict.push) {
    uniqueId = newUuid();
    verdict.push->uniqueId = uniqueId;
    if (logged) {
      topic = verdict.push->topic;
      pushType = verdict.push->pushType;
    }
    verdict.answer = sink_.take(std::move(*verdict.push));
    // A sink that says 200 with a reason still took the push: the reason is not sent.
    if (verdict.answer.status == 200) verdict.answer.reason.clear();
  } else if (logged) {
    topic = std::string(headerValue(stream.headers, "apns-topic").value_or(""));
    pushType = std::string(headerValue(stream.headers, "apns-push-type").value_or("alert"));
  }
  answer(stream, verdict.apnsId, verdict.answer, uniqueId);
  if (!logged) return;
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stream.begun)
          .count();
  logPush({verdict.apnsId, verdict.answer.status, verdict.answer.reason, pushType,
           topic.empty() ? nullptr : &topic, authenticationName(peer_.authentication), ms});
}

void Http2Session::answer(Stream& stream, const std::string& apnsId, const Answer& answer,
                          const std::string& uniqueId) {
  stream.answered = true;
  ++answered_;
  static const std::string kStatus = ":status", kApnsId = "apns-id", kUniqueId = "apns-unique-id",
                           kContentType = "content-type", kJson = "application/json";
  const std::string status = std::to_string(answer.status);
  std::vector<nghttp2_nv> fields = {field(kStatus, status), field(kApnsId, apnsId, true)};
  if (answer.status == 200) {
    fields.push_back(field(kUniqueId, uniqueId, true));
    nghttp2_submit_response(session_, stream.id, fields.data(), fields.size(), nullptr);
    return;
  }
  fields.push_back(field(kContentType, kJson));
  stream.response = nlohmann::json{{"reason", answer.reason}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace);
  nghttp2_data_provider body{};
  body.source.ptr = &stream;
  body.read_callback = &Http2Callbacks::readResponse;
  nghttp2_submit_response(session_, stream.id, fields.data(), fields.size(), &body);
}

void Http2Session::stop() {
  if (stopped_) return;
  stopped_ = true;
  static const std::string kShutdown = R"({"reason":"Shutdown"})";
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE,
                        nghttp2_session_get_last_proc_stream_id(session_), NGHTTP2_NO_ERROR,
                        reinterpret_cast<const std::uint8_t*>(kShutdown.data()), kShutdown.size());
  for (auto& [id, stream] : streams_) {
    if (stream->answered) continue;
    const std::optional<std::string_view> given = headerValue(stream->headers, "apns-id");
    const std::string apnsId = given && isUuid(*given) ? std::string(*given) : newUuid();
    const os_activity_t activity = pushActivity(apnsId);
    system_log::ActivityScope scope(activity);
    answer(*stream, apnsId, Answer{503, "Shutdown"}, "");
    const std::string pushType(headerValue(stream->headers, "apns-push-type").value_or("alert"));
    logPush({apnsId, 503, "Shutdown", pushType, nullptr, authenticationName(peer_.authentication),
             0.0});
  }
}

}  // namespace host::gateway
