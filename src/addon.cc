// JavaScript binding: the module's functions, the captures they run (the
// one current capture of startCapture among them), and the bridge that
// carries sample blocks from the backend's reader threads to the JavaScript
// callback on the thread of the environment that started the capture.
#include <napi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "orvel_backend.h"
#include "socket_peers_linux.h"

namespace {

constexpr const char* kUsage =
    "startCapture({ pipewireTargetId?: string, windowCaptureSourceId?: "
    "string }, callback) required";
constexpr const char* kOpenUsage = "openCapture(options, onBlock, onEnd) required";
constexpr const char* kResourceName = "orvel_pcm";
constexpr double kMaxProcessId = 4294967295.0;

// Why a stream ended by itself, as the backend reported it.
struct EndReport {
  int spawn_error;
  int exit_code;
  int signal;
  std::string output;
};

// One queued call: a block of samples, or, last of all, the end report.
struct PcmChunk {
  std::vector<char> bytes;
  int32_t sample_rate;
  int32_t channels;
  // When the reader handed the block over, on the monotonic clock that
  // process.hrtime.bigint() reads, in nanoseconds.
  int64_t read_ns;
  // The frames of the recorder's last write that end the block, or 0.
  uint64_t last_write_frames;
  std::unique_ptr<EndReport> end;
};

// What the callback is called with: startCapture's (pcm, sampleRate,
// channels), or a handle's (pcm) and, with block times, (pcm, readTime,
// lastWriteFrames).
enum class CallForm { kWithFormat, kSamples, kWithTimes };

// Owned by the thread-safe function and freed by its finaliser, so it lives
// as long as chunks can still be handed to DeliverChunk. Closed when the
// capture ends: chunks queued before that are dropped, not delivered after
// the capture was stopped or closed.
struct DeliveryGate {
  std::atomic<bool> open{true};
  // The capture's onEnd, if it has one.
  Napi::FunctionReference on_end;
  // Unreferenced once the stream has ended, so that a capture that is over
  // does not keep its environment's event loop alive.
  napi_threadsafe_function tsfn = nullptr;
  CallForm form = CallForm::kWithFormat;
  // The capture's id when it is a handle's, which its stream's end closes;
  // 0 for the current capture, which lasts until the next stop or start.
  uint64_t handle_id = 0;
};

void DeliverChunk(Napi::Env env, Napi::Function callback, DeliveryGate* gate,
                  PcmChunk* chunk);

using PcmFunction =
    Napi::TypedThreadSafeFunction<DeliveryGate, PcmChunk, DeliverChunk>;

struct CaptureState {
  PcmFunction tsfn;
  DeliveryGate* gate = nullptr;
  std::atomic<bool> active{false};
  // The environment whose callback this capture calls; its teardown ends
  // the capture.
  napi_env env = nullptr;
  // A handle's backend capture and id; null and 0 for the current capture,
  // which is the backend's process-wide one.
  Capture* capture = nullptr;
  uint64_t id = 0;
};

// Every capture that runs: the current one (g_cap, or null) and those of
// openCapture's handles, each with a recorder of its own; neither ends nor
// is ended by another.
std::vector<std::unique_ptr<CaptureState>> g_caps;
CaptureState* g_cap = nullptr;
uint64_t g_last_id = 0;
std::mutex g_cap_mutex;

size_t SampleBytes(SampleFormat format) {
  return format == SampleFormat::kS16 ? sizeof(int16_t) : sizeof(float);
}

// Runs on the reader thread. Must not throw and must not block.
void block_cb(const Block& block, void* user) {
  auto* state = static_cast<CaptureState*>(user);
  if (state == nullptr || !state->active.load(std::memory_order_acquire) ||
      block.data == nullptr || block.frames == 0 || block.channels <= 0) {
    return;
  }
  const int64_t read_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  PcmChunk* chunk = new (std::nothrow) PcmChunk{
      {}, block.sample_rate, block.channels, read_ns, block.last_write_frames, {}};
  if (chunk == nullptr) return;
  try {
    const auto* bytes = static_cast<const char*>(block.data);
    chunk->bytes.assign(
        bytes, bytes + block.frames * uint64_t(block.channels) * SampleBytes(block.sample_format));
  } catch (...) {
    delete chunk;
    return;
  }
  if (state->tsfn.NonBlockingCall(chunk) != napi_ok) delete chunk;
}

// Runs on the reader thread after the last block of a stream that ended by
// itself. Queued behind the blocks, so onEnd comes after all of them.
void end_cb(const RecorderEnd* end, void* user) {
  auto* state = static_cast<CaptureState*>(user);
  if (state == nullptr || !state->active.load(std::memory_order_acquire) ||
      end == nullptr) {
    return;
  }
  PcmChunk* chunk = new (std::nothrow) PcmChunk{{}, 0, 0, 0, 0, {}};
  if (chunk == nullptr) return;
  try {
    chunk->end.reset(new EndReport{
        end->spawn_error, end->exit_code, end->signal,
        std::string(end->output != nullptr ? end->output : "",
                    size_t(end->output_size))});
  } catch (...) {
    delete chunk;
    return;
  }
  if (state->tsfn.NonBlockingCall(chunk) != napi_ok) delete chunk;
}

const char* ErrnoName(int error) {
  switch (error) {
    case ENOENT: return "ENOENT";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case ENOEXEC: return "ENOEXEC";
    case ENOTDIR: return "ENOTDIR";
    case ELOOP: return "ELOOP";
    case ENAMETOOLONG: return "ENAMETOOLONG";
    case E2BIG: return "E2BIG";
    case ETXTBSY: return "ETXTBSY";
    case EISDIR: return "EISDIR";
    case ELIBBAD: return "ELIBBAD";
    case EIO: return "EIO";
    case ENOMEM: return "ENOMEM";
    case EAGAIN: return "EAGAIN";
    case EMFILE: return "EMFILE";
    case ENFILE: return "ENFILE";
    case ENOSPC: return "ENOSPC";
    case EROFS: return "EROFS";
    case EEXIST: return "EEXIST";
    default: return "UNKNOWN";
  }
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGKILL: return "SIGKILL";
    case SIGUSR1: return "SIGUSR1";
    case SIGSEGV: return "SIGSEGV";
    case SIGUSR2: return "SIGUSR2";
    case SIGPIPE: return "SIGPIPE";
    case SIGALRM: return "SIGALRM";
    case SIGTERM: return "SIGTERM";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGSYS: return "SIGSYS";
    default: return "UNKNOWN";
  }
}

// { reason: 'spawn-failed', error } or { reason: 'exited', code, signal, stderr }.
Napi::Object EndInfo(Napi::Env env, const EndReport& end) {
  Napi::Object info = Napi::Object::New(env);
  if (end.spawn_error != 0) {
    info.Set("reason", "spawn-failed");
    info.Set("error", ErrnoName(end.spawn_error));
    return info;
  }
  info.Set("reason", "exited");
  info.Set("code", end.exit_code >= 0 ? Napi::Value(Napi::Number::New(env, end.exit_code))
                                      : env.Null());
  info.Set("signal", end.signal != 0 ? Napi::Value(Napi::String::New(env, SignalName(end.signal)))
                                     : env.Null());
  info.Set("stderr", Napi::String::New(env, end.output));
  return info;
}

void CloseHandleCapture(uint64_t id);

// Runs on the capture's JavaScript thread once per queued chunk, and with an
// empty environment for chunks left in a queue that is being discarded (by
// then the gate is already freed).
void DeliverChunk(Napi::Env env, Napi::Function callback, DeliveryGate* gate,
                  PcmChunk* chunk) {
  std::unique_ptr<PcmChunk> owned(chunk);
  if (chunk == nullptr || env == nullptr || callback.IsEmpty()) return;
  if (!gate->open.load(std::memory_order_acquire)) return;
  Napi::HandleScope scope(env);
  try {
    if (chunk->end) {
      napi_unref_threadsafe_function(env, gate->tsfn);
      const Napi::Function on_end =
          gate->on_end.IsEmpty() ? Napi::Function() : gate->on_end.Value();
      // A handle's capture is over with its stream; nothing but its close
      // or its environment's end would free it otherwise.
      if (gate->handle_id != 0) CloseHandleCapture(gate->handle_id);
      if (!on_end.IsEmpty()) {
        Napi::Object info = EndInfo(env, *chunk->end);
        if (!info.IsEmpty()) on_end.Call(env.Undefined(), {info});
      }
      return;
    }
    Napi::Buffer<char> pcm = Napi::Buffer<char>::Copy(env, chunk->bytes.data(), chunk->bytes.size());
    if (pcm.IsEmpty()) return;
    switch (gate->form) {
      case CallForm::kSamples:
        callback.Call(env.Undefined(), {pcm});
        return;
      case CallForm::kWithFormat: {
        Napi::Number rate = Napi::Number::New(env, chunk->sample_rate);
        Napi::Number channels = Napi::Number::New(env, chunk->channels);
        if (rate.IsEmpty() || channels.IsEmpty()) return;
        callback.Call(env.Undefined(), {pcm, rate, channels});
        return;
      }
      case CallForm::kWithTimes: {
        Napi::BigInt read_time = Napi::BigInt::New(env, chunk->read_ns);
        Napi::Number last_write = Napi::Number::New(env, double(chunk->last_write_frames));
        if (read_time.IsEmpty() || last_write.IsEmpty()) return;
        callback.Call(env.Undefined(), {pcm, read_time, last_write});
        return;
      }
    }
  } catch (...) {
  }
}

// Releases the capture's thread-safe function, once the backend no longer
// calls into it; chunks still queued are dropped.
void ReleaseDelivery(CaptureState* state) {
  state->gate->open.store(false, std::memory_order_release);
  state->tsfn.Release();
}

// Stops a capture's backend: the current capture's is the process-wide one.
void StopBackend(CaptureState* state) {
  state->active.store(false, std::memory_order_release);
  if (state == g_cap) {
    orvel_backend_stop();
    g_cap = nullptr;
  } else {
    orvel_capture_close(state->capture);
    state->capture = nullptr;
  }
}

// Ends a capture and frees it. Called with g_cap_mutex held.
void EndLocked(CaptureState* state) {
  StopBackend(state);
  ReleaseDelivery(state);
  g_caps.erase(std::find_if(g_caps.begin(), g_caps.end(),
                            [&](const auto& each) { return each.get() == state; }));
}

// Ends the current capture, if any, and always stops the backend. Called
// with g_cap_mutex held.
void EndCurrentLocked() {
  if (g_cap != nullptr) {
    EndLocked(g_cap);
  } else {
    orvel_backend_stop();
  }
}

// Ends the handle's capture that ID names, if it still runs.
void CloseHandleCapture(uint64_t id) {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  const auto found = std::find_if(g_caps.begin(), g_caps.end(),
                                  [&](const auto& state) { return state->id == id; });
  if (found != g_caps.end()) EndLocked(found->get());
}

// Environment teardown (a worker ending, the main environment freed): the
// captures that call into this environment end before their thread-safe
// functions are torn down with it. Others are left alone.
void EndCapturesOfEnv(void* env) {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  std::vector<CaptureState*> ending;
  for (const auto& state : g_caps) {
    if (state->env == env) ending.push_back(state.get());
  }
  for (CaptureState* state : ending) EndLocked(state);
}

// process.exit() runs no environment teardown. Reap the recorders and join
// the readers before static destructors run; the environments are going
// away, so their thread-safe functions are left to them.
void StopAtExit() {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  for (const auto& state : g_caps) StopBackend(state.get());
  orvel_backend_stop();
}

void FreeGate(Napi::Env, void*, DeliveryGate* gate) { delete gate; }

// Each option is read twice, for its type and then for its value. A getter
// may throw on the second read: the value is then empty, and its exception
// stays pending for the handler to hand to the caller.
Napi::Value ReadOption(const Napi::Object& options, const char* key,
                       bool (Napi::Value::*has_type)() const) {
  if (!options.Has(key) || !(options.Get(key).*has_type)()) return Napi::Value();
  return options.Get(key);
}

bool ReadBooleanOption(const Napi::Object& options, const char* key) {
  const Napi::Value value = ReadOption(options, key, &Napi::Value::IsBoolean);
  return !value.IsEmpty() && value.As<Napi::Boolean>().Value();
}

Napi::Function ReadFunctionOption(const Napi::Object& options, const char* key) {
  const Napi::Value value = ReadOption(options, key, &Napi::Value::IsFunction);
  return value.IsFunction() ? value.As<Napi::Function>() : Napi::Function();
}

std::string ReadStringOption(const Napi::Object& options, const char* key) {
  const Napi::Value value = ReadOption(options, key, &Napi::Value::IsString);
  return value.IsEmpty() ? std::string() : value.As<Napi::String>().Utf8Value();
}

// A number from 1 to `max`, its fraction dropped; 0 for anything else.
uint32_t ReadCountOption(const Napi::Object& options, const char* key, double max) {
  const Napi::Value value = ReadOption(options, key, &Napi::Value::IsNumber);
  if (value.IsEmpty()) return 0;
  const double number = value.As<Napi::Number>().DoubleValue();
  return number >= 1 && number <= max ? uint32_t(number) : 0;
}

// A resampler quality from kMinResampleQuality to kMaxResampleQuality, its
// fraction dropped; -1 (the recorder's default) for anything else.
int32_t ReadQualityOption(const Napi::Object& options) {
  const Napi::Value value = ReadOption(options, "resampleQuality", &Napi::Value::IsNumber);
  if (value.IsEmpty()) return -1;
  const double number = value.As<Napi::Number>().DoubleValue();
  return number >= kMinResampleQuality && number <= kMaxResampleQuality ? int32_t(number) : -1;
}

// What a capture is asked for, read before anything changes.
struct StartOptions {
  std::string target;
  std::string window_source;
  uint32_t exclude_pid = 0;
  bool capture_sink = false;
  std::string unlinked_node_name;
  Napi::Function on_end;
  uint32_t block_interval_ms = 0;
  // 0: the backend's default format.
  uint32_t sample_rate = 0;
  uint32_t channels = 0;
  int32_t resample_quality = -1;
  SampleFormat sample_format = SampleFormat::kF32;
  bool mix_to_mono = false;
  CallForm form = CallForm::kWithFormat;
};

StartOptions ReadStartOptions(const Napi::Object& options) {
  StartOptions start;
  start.target = ReadStringOption(options, "pipewireTargetId");
  start.window_source = ReadStringOption(options, "windowCaptureSourceId");
  start.exclude_pid = ReadCountOption(options, "win32ExcludePlaybackProcessId", kMaxProcessId);
  start.capture_sink = ReadBooleanOption(options, "pipewireCaptureSink");
  start.on_end = ReadFunctionOption(options, "onEnd");
  return start;
}

// openCapture's options, which only the package's own modules pass.
StartOptions ReadOpenOptions(const Napi::Object& options, const Napi::Function& on_end) {
  StartOptions start;
  start.target = ReadStringOption(options, "target");
  start.capture_sink = ReadBooleanOption(options, "captureSink");
  start.unlinked_node_name = ReadStringOption(options, "unlinkedNodeName");
  start.on_end = on_end;
  // 0: each block as the recorder writes it.
  start.block_interval_ms = ReadCountOption(options, "blockIntervalMs", kMaxBlockIntervalMs);
  start.sample_rate = ReadCountOption(options, "sampleRate", kMaxCaptureRate);
  start.channels = ReadCountOption(options, "channels", kMaxCaptureChannels);
  start.resample_quality = ReadQualityOption(options);
  start.sample_format =
      ReadStringOption(options, "format") == "s16" ? SampleFormat::kS16 : SampleFormat::kF32;
  start.mix_to_mono = ReadBooleanOption(options, "mixToMono");
  start.form = ReadBooleanOption(options, "blockTimes") ? CallForm::kWithTimes : CallForm::kSamples;
  return start;
}

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

CaptureOptions BackendOptions(const StartOptions& options, CaptureState* state) {
  CaptureOptions backend;
  backend.pipewire_target = OrNull(options.target);
  backend.window_capture_source_id = OrNull(options.window_source);
  backend.exclude_process_id = options.exclude_pid;
  backend.capture_sink = options.capture_sink;
  backend.unlinked_node_name = OrNull(options.unlinked_node_name);
  if (options.sample_rate != 0) backend.sample_rate = int32_t(options.sample_rate);
  if (options.channels != 0) backend.channels = int32_t(options.channels);
  backend.resample_quality = options.resample_quality;
  backend.block_interval_ms = options.block_interval_ms;
  // Only a capture that hands out read times needs its blocks fresh.
  backend.fresh_blocks = options.form != CallForm::kSamples;
  backend.sample_format = options.sample_format;
  backend.mix_to_mono = options.mix_to_mono;
  backend.block_cb = block_cb;
  backend.end_cb = end_cb;
  backend.user = state;
  return backend;
}

// A new capture's state with its thread-safe function, or null with an
// exception pending (the function could not be made, or an options getter
// threw: starting a capture anyway would report a failure while capturing).
std::unique_ptr<CaptureState> MakeState(Napi::Env env, const Napi::Function& callback,
                                        const StartOptions& options) {
  auto state = std::make_unique<CaptureState>();
  state->env = env;
  auto gate = std::make_unique<DeliveryGate>();
  state->tsfn = PcmFunction::New(env, callback, Napi::Object::New(env), kResourceName, 0, 1,
                                 gate.get(), FreeGate, static_cast<void*>(nullptr));
  if (static_cast<napi_threadsafe_function>(state->tsfn) == nullptr) return nullptr;
  gate->tsfn = static_cast<napi_threadsafe_function>(state->tsfn);
  gate->form = options.form;
  if (!options.on_end.IsEmpty()) gate->on_end = Napi::Persistent(options.on_end);
  state->gate = gate.release();
  if (env.IsExceptionPending()) {
    ReleaseDelivery(state.get());
    return nullptr;
  }
  state->active.store(true, std::memory_order_release);
  return state;
}

// The recorder takes the target and the node name as C strings: one with a
// NUL in it would silently name another.
bool CarriesNul(const StartOptions& options) {
  return options.target.find('\0') != std::string::npos ||
         options.unlinked_node_name.find('\0') != std::string::npos;
}

// The one way a capture starts, under g_cap_mutex: the current capture
// (CURRENT, which ends the one before it) or a handle's. Returns the new
// capture, or null when the backend refused it or, with an exception
// pending, when nothing was started.
CaptureState* StartLocked(Napi::Env env, const Napi::Function& callback,
                          const StartOptions& options, bool current) {
  if (current) EndCurrentLocked();
  if (CarriesNul(options)) return nullptr;
  std::unique_ptr<CaptureState> state = MakeState(env, callback, options);
  if (!state) return nullptr;
  if (!current) state->id = state->gate->handle_id = ++g_last_id;
  const CaptureOptions backend = BackendOptions(options, state.get());
  const bool started = current ? orvel_backend_start_with(backend)
                               : (state->capture = orvel_capture_open(backend)) != nullptr;
  if (!started) {
    state->active.store(false, std::memory_order_release);
    ReleaseDelivery(state.get());
    return nullptr;
  }
  g_caps.push_back(std::move(state));
  if (current) g_cap = g_caps.back().get();
  return g_caps.back().get();
}

Napi::Value StartCapture(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsObject() || !info[1].IsFunction()) {
    Napi::TypeError::New(env, kUsage).ThrowAsJavaScriptException();
    return env.Null();
  }
  try {
    const StartOptions options = ReadStartOptions(info[0].As<Napi::Object>());
    std::lock_guard<std::mutex> lock(g_cap_mutex);
    const bool started = StartLocked(env, info[1].As<Napi::Function>(), options, true) != nullptr;
    return env.IsExceptionPending() ? Napi::Value() : Napi::Boolean::New(env, started);
  } catch (...) {
    // A failed lock or allocation: nothing was started.
    return Napi::Boolean::New(env, false);
  }
}

Napi::Value StopCapture(const Napi::CallbackInfo& info) {
  try {
    std::lock_guard<std::mutex> lock(g_cap_mutex);
    EndCurrentLocked();
  } catch (...) {
  }
  return info.Env().Undefined();
}

Napi::Value CloseHandle(const Napi::CallbackInfo& info) {
  try {
    CloseHandleCapture(reinterpret_cast<uintptr_t>(info.Data()));
  } catch (...) {
  }
  return info.Env().Undefined();
}

// openCapture(options, onBlock, onEnd): a capture of its own beside every
// other, for the package's streams; returns a handle whose close() ends it,
// or null when the backend refused it.
Napi::Value OpenCapture(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 3 || !info[0].IsObject() || !info[1].IsFunction() || !info[2].IsFunction()) {
    Napi::TypeError::New(env, kOpenUsage).ThrowAsJavaScriptException();
    return env.Null();
  }
  try {
    const StartOptions options = ReadOpenOptions(info[0].As<Napi::Object>(), info[2].As<Napi::Function>());
    uint64_t id = 0;
    {
      std::lock_guard<std::mutex> lock(g_cap_mutex);
      const CaptureState* state = StartLocked(env, info[1].As<Napi::Function>(), options, false);
      if (state != nullptr) id = state->id;
    }
    if (env.IsExceptionPending()) return Napi::Value();
    if (id == 0) return env.Null();
    Napi::Object handle = Napi::Object::New(env);
    handle.Set("close", Napi::Function::New(env, CloseHandle, "close",
                                            reinterpret_cast<void*>(uintptr_t(id))));
    if (!env.IsExceptionPending()) return handle;
    CloseHandleCapture(id);
    return Napi::Value();
  } catch (...) {
    return env.Null();
  }
}

Napi::Value GetNativeAudioCaptureInfo(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Object report = Napi::Object::New(env);
  report.Set("ok", true);
  report.Set("stub", false);
  report.Set("platform", "linux");
  report.Set("version", "0.1.0");
  report.Set("backend", "pw_record");
  report.Set("wasapiProcessLoopbackOsSupported", false);
  return report;
}

// _socketPeers(serverPid, pids): for each of PIDS, how many of the server's
// accepted Unix socket connections it holds the other end of, as
// { counts: [...] }, or { error: 'EACCES' } when the kernel cannot tell.
// Private: lib/pulse-peers.js is its one caller.
Napi::Value SocketPeers(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Object result = Napi::Object::New(env);
  const auto is_pid = [](const Napi::Value& value) {
    if (!value.IsNumber()) return false;
    const double pid = value.As<Napi::Number>().DoubleValue();
    return pid >= 1 && pid <= std::numeric_limits<pid_t>::max() &&
           pid == std::floor(pid);
  };
  if (info.Length() < 2 || !is_pid(info[0]) || !info[1].IsArray()) {
    result.Set("error", "EINVAL");
    return result;
  }
  SocketPeerQuery query{};
  query.server_pid = info[0].As<Napi::Number>().Int32Value();
  const Napi::Array pids = info[1].As<Napi::Array>();
  for (uint32_t i = 0; i < pids.Length(); i++) {
    const Napi::Value pid = pids.Get(i);
    if (!is_pid(pid)) {
      result.Set("error", "EINVAL");
      return result;
    }
    query.pids.push_back(pid.As<Napi::Number>().Int32Value());
  }
  std::vector<int> counts;
  int error = 0;
  if (!CountSocketPeers(query, &counts, &error)) {
    result.Set("error", ErrnoName(error));
    return result;
  }
  Napi::Array list = Napi::Array::New(env, counts.size());
  for (uint32_t i = 0; i < counts.size(); i++) list.Set(i, counts[i]);
  result.Set("counts", list);
  return result;
}

void SetFunction(Napi::Env env, Napi::Object exports, const char* name,
                 Napi::Function::Callback handler) {
  exports.Set(name, Napi::Function::New(env, handler, name));
}

}  // namespace

extern "C" {

ORVEL_EXPORT int32_t node_api_module_get_api_version_v1() {
  return NAPI_VERSION;
}

ORVEL_EXPORT napi_value napi_register_module_v1(napi_env env,
                                                napi_value exports_value) {
  Napi::Env napi_env(env);
  Napi::Object exports(env, exports_value);
  SetFunction(napi_env, exports, "getNativeAudioCaptureInfo",
              GetNativeAudioCaptureInfo);
  SetFunction(napi_env, exports, "startCapture", StartCapture);
  SetFunction(napi_env, exports, "stopCapture", StopCapture);
  // The package's own streams; its entry does not export it.
  SetFunction(napi_env, exports, "openCapture", OpenCapture);
  SetFunction(napi_env, exports, "_socketPeers", SocketPeers);
  // Each registration has its own napi_env, so the hook's argument is
  // unique and the hook runs once, when that environment is torn down.
  napi_add_env_cleanup_hook(env, EndCapturesOfEnv, env);
  static std::once_flag at_exit_registered;
  std::call_once(at_exit_registered, [] { std::atexit(StopAtExit); });
  return exports;
}

}  // extern "C"
