// JavaScript binding: the module's three functions, the one current capture
// and the captures beside it that an AbortSignal ends, and the bridge that
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
#include <optional>
#include <string>
#include <vector>

#include "orvel_backend.h"
#include "socket_peers_linux.h"

namespace {

constexpr const char* kUsage =
    "startCapture({ pipewireTargetId?: string, windowCaptureSourceId?: "
    "string }, callback) required";
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
  std::vector<float> samples;
  int32_t sample_rate;
  int32_t channels;
  // When the reader handed the block over, on the monotonic clock that
  // process.hrtime.bigint() reads, in nanoseconds.
  int64_t read_ns;
  // The frames of the recorder's last write that end the block, or 0.
  uint64_t last_write_frames;
  std::unique_ptr<EndReport> end;
};

// Owned by the thread-safe function and freed by its finaliser, so it lives
// as long as chunks can still be handed to DeliverChunk. Closed when the
// capture ends: chunks queued before that are dropped, not delivered after
// stopCapture() has returned.
struct DeliveryGate {
  std::atomic<bool> open{true};
  // The capture's onEnd, if it has one.
  Napi::FunctionReference on_end;
  // Unreferenced once the stream has ended, so that a capture that is over
  // does not keep its environment's event loop alive.
  napi_threadsafe_function tsfn = nullptr;
  // Whether the callback takes each block's read time and the frames of the
  // recorder's last write in it as fourth and fifth arguments.
  bool block_times = false;
  // A capture beside the current one (0 for the current one), ended when its
  // stream ends by itself.
  uint64_t side_id = 0;
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
  // For a capture beside the current one: its backend capture, and the id
  // that its AbortSignal's listener names it by.
  Capture* side = nullptr;
  uint64_t side_id = 0;
};

std::unique_ptr<CaptureState> g_cap;
// Captures started with a signal: each has a recorder of its own, and
// neither ends nor is ended by the current capture.
std::vector<std::unique_ptr<CaptureState>> g_side_caps;
uint64_t g_last_side_id = 0;
std::mutex g_cap_mutex;

// Runs on the reader thread. Must not throw and must not block.
void block_cb(const Block& block, void* user) {
  auto* state = static_cast<CaptureState*>(user);
  if (state == nullptr || !state->active.load(std::memory_order_acquire) ||
      block.samples == nullptr || block.count == 0 || block.channels <= 0) {
    return;
  }
  const int64_t read_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  PcmChunk* chunk = new (std::nothrow) PcmChunk{
      {}, block.sample_rate, block.channels, read_ns,
      block.last_write_count / uint64_t(block.channels), {}};
  if (chunk == nullptr) return;
  try {
    chunk->samples.assign(block.samples, block.samples + block.count);
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

void EndSideCapture(uint64_t side_id);

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
      // A capture beside the current one is over with its stream; nothing
      // but its signal or its environment's end would free it otherwise.
      if (gate->side_id != 0) EndSideCapture(gate->side_id);
      if (!on_end.IsEmpty()) {
        Napi::Object info = EndInfo(env, *chunk->end);
        if (!info.IsEmpty()) on_end.Call(env.Undefined(), {info});
      }
      return;
    }
    Napi::Buffer<float> pcm = Napi::Buffer<float>::Copy(
        env, chunk->samples.data(), chunk->samples.size());
    Napi::Number rate = Napi::Number::New(env, chunk->sample_rate);
    Napi::Number channels = Napi::Number::New(env, chunk->channels);
    if (pcm.IsEmpty() || rate.IsEmpty() || channels.IsEmpty()) return;
    if (!gate->block_times) {
      callback.Call(env.Undefined(), {pcm, rate, channels});
      return;
    }
    Napi::BigInt read_time = Napi::BigInt::New(env, chunk->read_ns);
    Napi::Number last_write = Napi::Number::New(env, double(chunk->last_write_frames));
    if (read_time.IsEmpty() || last_write.IsEmpty()) return;
    callback.Call(env.Undefined(), {pcm, rate, channels, read_time, last_write});
  } catch (...) {
  }
}

// Releases the capture's thread-safe function, once the backend no longer
// calls into it; chunks still queued are dropped.
void ReleaseDelivery(CaptureState* state) {
  state->gate->open.store(false, std::memory_order_release);
  state->tsfn.Release();
}

// Ends the current capture, if any, and always stops the backend. Called
// with g_cap_mutex held.
void EndCapture() {
  if (g_cap) g_cap->active.store(false, std::memory_order_release);
  orvel_backend_stop();
  if (g_cap) {
    ReleaseDelivery(g_cap.get());
    g_cap.reset();
  }
}

// Ends a capture beside the current one. Called with g_cap_mutex held.
void EndSide(CaptureState* state) {
  state->active.store(false, std::memory_order_release);
  orvel_capture_close(state->side);
  ReleaseDelivery(state);
}

// Ends the capture beside the current one that SIDE_ID names, if it still
// runs.
void EndSideCapture(uint64_t side_id) {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  const auto found = std::find_if(g_side_caps.begin(), g_side_caps.end(),
                                  [&](const auto& state) { return state->side_id == side_id; });
  if (found == g_side_caps.end()) return;
  EndSide(found->get());
  g_side_caps.erase(found);
}

// Environment teardown (a worker ending, the main environment freed): the
// captures that call into this environment end before their thread-safe
// functions are torn down with it. Others are left alone.
void EndCapturesOfEnv(void* env) {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  if (g_cap && g_cap->env == env) EndCapture();
  for (auto it = g_side_caps.begin(); it != g_side_caps.end();) {
    if ((*it)->env != env) {
      ++it;
      continue;
    }
    EndSide(it->get());
    it = g_side_caps.erase(it);
  }
}

// process.exit() runs no environment teardown. Reap the recorders and join
// the readers before static destructors run; the environments are going
// away, so their thread-safe functions are left to them.
void StopAtExit() {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  if (g_cap) g_cap->active.store(false, std::memory_order_release);
  orvel_backend_stop();
  for (const auto& state : g_side_caps) {
    state->active.store(false, std::memory_order_release);
    orvel_capture_close(state->side);
    state->side = nullptr;
  }
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

// An AbortSignal (anything with addEventListener), or an empty object. A
// getter whose second read is no object throws, as for the other types.
Napi::Object ReadSignalOption(const Napi::Object& options) {
  const Napi::Value value = ReadOption(options, "signal", &Napi::Value::IsObject);
  if (value.IsEmpty()) return Napi::Object();
  if (!value.IsObject()) {
    Napi::TypeError::New(options.Env(), "An object was expected").ThrowAsJavaScriptException();
    return Napi::Object();
  }
  const Napi::Object signal = value.As<Napi::Object>();
  return signal.Get("addEventListener").IsFunction() ? signal : Napi::Object();
}

// The options of one startCapture call, read before anything changes.
struct StartOptions {
  std::string target;
  std::string window_source;
  uint32_t exclude_pid;
  bool capture_sink;
  std::string unlinked_node_name;
  Napi::Function on_end;
  uint32_t block_interval_ms;
  // 0: the backend's default format.
  uint32_t sample_rate;
  uint32_t channels;
  int32_t resample_quality;
  bool block_times;
  // Set: a capture beside the current one, until this signal aborts.
  Napi::Object signal;
};

StartOptions ReadStartOptions(const Napi::Object& options) {
  return StartOptions{
      ReadStringOption(options, "pipewireTargetId"),
      ReadStringOption(options, "windowCaptureSourceId"),
      ReadCountOption(options, "win32ExcludePlaybackProcessId", kMaxProcessId),
      ReadBooleanOption(options, "pipewireCaptureSink"),
      ReadStringOption(options, "pipewireUnlinkedNodeName"),
      ReadFunctionOption(options, "onEnd"),
      // 0: each block as the recorder writes it.
      ReadCountOption(options, "blockIntervalMs", kMaxBlockIntervalMs),
      ReadCountOption(options, "sampleRate", kMaxCaptureRate),
      ReadCountOption(options, "channels", kMaxCaptureChannels),
      ReadQualityOption(options),
      ReadBooleanOption(options, "blockTimes"),
      ReadSignalOption(options),
  };
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
  gate->block_times = options.block_times;
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

// Under g_cap_mutex: ends the current capture and starts a new one.
// Returns the handler's result, or an empty value when an exception is
// pending and nothing was started.
Napi::Value StartLocked(Napi::Env env, const Napi::Function& callback,
                        const StartOptions& options) {
  EndCapture();
  if (CarriesNul(options)) return Napi::Boolean::New(env, false);
  std::unique_ptr<CaptureState> state = MakeState(env, callback, options);
  if (!state) return Napi::Value();
  if (!orvel_backend_start_with(BackendOptions(options, state.get()))) {
    state->active.store(false, std::memory_order_release);
    ReleaseDelivery(state.get());
    return Napi::Boolean::New(env, false);
  }
  g_cap = std::move(state);
  return Napi::Boolean::New(env, true);
}

// Under g_cap_mutex: starts a capture beside the current one. Returns its
// id, 0 when the backend refused it, or nothing with an exception pending.
std::optional<uint64_t> StartSideLocked(Napi::Env env, const Napi::Function& callback,
                                        const StartOptions& options) {
  if (CarriesNul(options)) return 0;
  std::unique_ptr<CaptureState> state = MakeState(env, callback, options);
  if (!state) return std::nullopt;
  state->side_id = state->gate->side_id = ++g_last_side_id;
  state->side = orvel_capture_open(BackendOptions(options, state.get()));
  if (state->side == nullptr) {
    state->active.store(false, std::memory_order_release);
    ReleaseDelivery(state.get());
    return 0;
  }
  g_side_caps.push_back(std::move(state));
  return g_last_side_id;
}

Napi::Value OnAbort(const Napi::CallbackInfo& info) {
  try {
    EndSideCapture(reinterpret_cast<uintptr_t>(info.Data()));
  } catch (...) {
  }
  return info.Env().Undefined();
}

// A capture beside the current one, ended when SIGNAL aborts. An aborted
// signal starts nothing. The listener is added outside the lock: it is
// JavaScript, which may start or stop captures itself.
Napi::Value StartSideCapture(Napi::Env env, const Napi::Function& callback,
                             const StartOptions& options) {
  const Napi::Object& signal = options.signal;
  const Napi::Value aborted = signal.Get("aborted");
  if (env.IsExceptionPending()) return Napi::Value();
  if (aborted.ToBoolean().Value()) return Napi::Boolean::New(env, false);
  std::optional<uint64_t> id;
  {
    std::lock_guard<std::mutex> lock(g_cap_mutex);
    id = StartSideLocked(env, callback, options);
  }
  if (!id) return Napi::Value();
  if (*id == 0) return Napi::Boolean::New(env, false);
  const Napi::Function listener =
      Napi::Function::New(env, OnAbort, "onAbort", reinterpret_cast<void*>(uintptr_t(*id)));
  const Napi::Value add = signal.Get("addEventListener");
  if (!env.IsExceptionPending() && add.IsFunction()) {
    add.As<Napi::Function>().Call(signal, {Napi::String::New(env, "abort"), listener});
  }
  // A capture that nothing could end does not run.
  if (env.IsExceptionPending() || !add.IsFunction()) {
    EndSideCapture(*id);
    return env.IsExceptionPending() ? Napi::Value() : Napi::Boolean::New(env, false);
  }
  return Napi::Boolean::New(env, true);
}

Napi::Value StartCapture(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsObject() || !info[1].IsFunction()) {
    Napi::TypeError::New(env, kUsage).ThrowAsJavaScriptException();
    return env.Null();
  }
  const Napi::Object options = info[0].As<Napi::Object>();
  const Napi::Function callback = info[1].As<Napi::Function>();
  try {
    const StartOptions start_options = ReadStartOptions(options);
    if (!start_options.signal.IsEmpty()) return StartSideCapture(env, callback, start_options);
    std::lock_guard<std::mutex> lock(g_cap_mutex);
    return StartLocked(env, callback, start_options);
  } catch (...) {
    // A failed lock or allocation: nothing was started.
    return Napi::Boolean::New(env, false);
  }
}

Napi::Value StopCapture(const Napi::CallbackInfo& info) {
  try {
    std::lock_guard<std::mutex> lock(g_cap_mutex);
    EndCapture();
  } catch (...) {
  }
  return info.Env().Undefined();
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
  SetFunction(napi_env, exports, "_socketPeers", SocketPeers);
  // Each registration has its own napi_env, so the hook's argument is
  // unique and the hook runs once, when that environment is torn down.
  napi_add_env_cleanup_hook(env, EndCapturesOfEnv, env);
  static std::once_flag at_exit_registered;
  std::call_once(at_exit_registered, [] { std::atexit(StopAtExit); });
  return exports;
}

}  // extern "C"
