// The hop from a system audio listener to the main queue for the engine. Listeners run on the
// audio layer's notification thread and may still have work queued when the engine is destroyed;
// that work must never run on a destroyed engine, so every engine registers itself while it lives
// and queued work checks the registration (with its generation) on the main thread first.
// Threading: registerEngine/forgetEngine main thread; hopToMain any thread except an I/O thread.
#pragma once

namespace velto {

class Engine;

// main thread: the engine exists from now on (constructor, before any listener is added).
void registerEngine(Engine* engine);
// main thread: the engine is going away; work already queued for it is dropped.
void forgetEngine(Engine* engine);
// Queues `work` on the main queue; it runs there only if this very engine still exists.
void hopToMain(Engine* engine, void (Engine::*work)());

} // namespace velto
