// JavaScript binding: the module's three functions, the one current capture,
// and the bridge that carries sample blocks from the backend's reader thread
// to the JavaScript callback on the thread of the environment that started
// the capture.
#include <napi.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "orvel_backend.h"

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
};

std::unique_ptr<CaptureState> g_cap;
std::mutex g_cap_mutex;

// Runs on the reader thread. Must not throw and must not block.
void pcm_cb(const float* samples, uint64_t count, int32_t sample_rate,
            int32_t channels, void* user) {
  auto* state = static_cast<CaptureState*>(user);
  if (state == nullptr || !state->active.load(std::memory_order_acquire) ||
      samples == nullptr || count == 0 || channels <= 0) {
    return;
  }
  PcmChunk* chunk = new (std::nothrow) PcmChunk{{}, sample_rate, channels, {}};
  if (chunk == nullptr) return;
  try {
    chunk->samples.assign(samples, samples + count);
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
  PcmChunk* chunk = new (std::nothrow) PcmChunk{{}, 0, 0, {}};
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
      if (!gate->on_end.IsEmpty()) {
        Napi::Object info = EndInfo(env, *chunk->end);
        if (!info.IsEmpty()) gate->on_end.Call(env.Undefined(), {info});
      }
      return;
    }
    Napi::Buffer<float> pcm = Napi::Buffer<float>::Copy(
        env, chunk->samples.data(), chunk->samples.size());
    Napi::Number rate = Napi::Number::New(env, chunk->sample_rate);
    Napi::Number channels = Napi::Number::New(env, chunk->channels);
    if (pcm.IsEmpty() || rate.IsEmpty() || channels.IsEmpty()) return;
    callback.Call(env.Undefined(), {pcm, rate, channels});
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

// Environment teardown (a worker ending, the main environment freed): a
// capture that calls into this environment ends before its thread-safe
// function is torn down with it. Others are left alone.
void EndCaptureOfEnv(void* env) {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  if (g_cap && g_cap->env == env) EndCapture();
}

// process.exit() runs no environment teardown. Reap the recorder and join
// the reader before static destructors run; the environment is going away,
// so its thread-safe function is left to it.
void StopAtExit() {
  std::lock_guard<std::mutex> lock(g_cap_mutex);
  if (g_cap) g_cap->active.store(false, std::memory_order_release);
  orvel_backend_stop();
}

void FreeGate(Napi::Env, void*, DeliveryGate* gate) { delete gate; }

// Each option is read twice, for its type and then for its value. A getter
// may throw on the second read: the value is then empty, and its exception
// stays pending for StartLocked to hand to the caller.
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

// The options of one startCapture call, read before anything changes.
struct StartOptions {
  std::string target;
  std::string window_source;
  uint32_t exclude_pid;
  bool capture_sink;
  std::string unlinked_node_name;
  Napi::Function on_end;
  uint32_t block_interval_ms;
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
  };
}

// Under g_cap_mutex: ends the current capture and starts a new one.
// Returns the handler's result, or an empty value when an exception is
// pending and nothing was started.
Napi::Value StartLocked(Napi::Env env, const Napi::Function& callback,
                        const StartOptions& options) {
  EndCapture();
  const std::string& target = options.target;
  const std::string& node_name = options.unlinked_node_name;
  // The recorder takes the target and the node name as C strings: one with
  // a NUL in it would silently name another.
  if (target.find('\0') != std::string::npos ||
      node_name.find('\0') != std::string::npos) {
    return Napi::Boolean::New(env, false);
  }
  auto state = std::make_unique<CaptureState>();
  state->env = env;
  auto gate = std::make_unique<DeliveryGate>();
  state->tsfn = PcmFunction::New(env, callback, Napi::Object::New(env),
                                 kResourceName, 0, 1, gate.get(), FreeGate,
                                 static_cast<void*>(nullptr));
  if (static_cast<napi_threadsafe_function>(state->tsfn) == nullptr) {
    return Napi::Value();
  }
  gate->tsfn = static_cast<napi_threadsafe_function>(state->tsfn);
  if (!options.on_end.IsEmpty()) gate->on_end = Napi::Persistent(options.on_end);
  state->gate = gate.release();
  // An exception pending here (an options getter threw) is what the caller
  // sees: starting a capture anyway would report a failure while capturing.
  if (env.IsExceptionPending()) {
    ReleaseDelivery(state.get());
    return Napi::Value();
  }
  state->active.store(true, std::memory_order_release);
  const std::string& window_source = options.window_source;
  if (!orvel_backend_start(target.empty() ? nullptr : target.c_str(),
                           window_source.empty() ? nullptr
                                                 : window_source.c_str(),
                           options.exclude_pid, pcm_cb, state.get(),
                           options.capture_sink, end_cb,
                           node_name.empty() ? nullptr : node_name.c_str(),
                           options.block_interval_ms)) {
    state->active.store(false, std::memory_order_release);
    ReleaseDelivery(state.get());
    return Napi::Boolean::New(env, false);
  }
  g_cap = std::move(state);
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
  // Each registration has its own napi_env, so the hook's argument is
  // unique and the hook runs once, when that environment is torn down.
  napi_add_env_cleanup_hook(env, EndCaptureOfEnv, env);
  static std::once_flag at_exit_registered;
  std::call_once(at_exit_registered, [] { std::atexit(StopAtExit); });
  return exports;
}

}  // extern "C"
