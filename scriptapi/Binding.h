// What every script API module shares: the way a registration function adds
// up its results and reports its failure, the three behaviours of a handle
// type, and the factory that hands a new resource to the script.
//
// Every module registers the same way: one line a binding, each result
// added to the module's sum, the declaration text written once, in the call:
//     RegistrationSum r;
//     r += registerHandleType<TextureHandle>(engine, "texture");
//     r += engine->RegisterGlobalFunction("texture createTexture(int,int)",
//                                         asFUNCTION(createTexture), asCALL_CDECL);
//     return finishRegistration(r, "TQScript - initD3DTexture failed");
// (parts that other modules call take the sum by reference instead).
// and its factories build their results with makeFactoryHandle<TextureHandle>(object).
#pragma once

#include <angelscript.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "core/Log.h"
#include "core/TQSmartPointer.h"

using namespace AngelScript;

class TQDataHandler;

// Adds up the error codes of a module's registrations. The library answers a
// negative code for an error and zero or an id for success, so only the
// negative answers count: the sum is zero exactly when every call succeeded.
class RegistrationSum {
 public:
  RegistrationSum& operator+=(int code) {
    if (code < 0) sum += code;
    return *this;
  }
  int value() const { return sum; }

 private:
  int sum = 0;
};

// Ends a module's registration: its message goes to the log once when any
// registration was refused. Returns the sum (0 when clean).
inline int finishRegistration(const RegistrationSum& sum, const char* moduleMessage) {
  if (sum.value() != 0) logMessage(moduleMessage);
  return sum.value();
}

// Construct behaviour of a handle type: the empty handle of the type's own
// instantiation, built in the storage that the engine provides.
template <class Handle>
void handle_construct(void* memory) {
  new (memory) Handle();
}

// Destruct behaviour of every handle type: the handle's own destructor, run
// in place through the common interface; the engine frees the storage.
inline void handle_destruct(TQSmartPointerAbstract* handle) { handle->~TQSmartPointerAbstract(); }

// Registers a handle type alone, for modules that register every type before
// any behaviour or method so that declarations may name types of each other.
template <class Handle>
int registerHandleObjectType(asIScriptEngine* engine, const char* typeName) {
  return engine->RegisterObjectType(typeName, sizeof(Handle),
                                    asOBJ_VALUE | asGetTypeTraits<Handle>());
}

// Registers the behaviours of a registered handle type, in this order: the
// construct (by default the empty handle), the assignment, the destruct.
// Returns the sum of the error codes (0 when all succeeded).
template <class Handle>
int registerHandleBehaviours(asIScriptEngine* engine, const char* typeName,
                             void (*construct)(void*) = &handle_construct<Handle>) {
  const std::string type(typeName);
  RegistrationSum r;
  r += engine->RegisterObjectBehaviour(typeName, asBEHAVE_CONSTRUCT, "void f()",
                                       asFUNCTION(construct), asCALL_CDECL_OBJLAST);
  r += engine->RegisterObjectMethod(typeName, (type + " &opAssign(const " + type + " &in)").c_str(),
                                    asMETHODPR(Handle, operator=, (const Handle&), Handle&),
                                    asCALL_THISCALL);
  r += engine->RegisterObjectBehaviour(typeName, asBEHAVE_DESTRUCT, "void f()",
                                       asFUNCTION(handle_destruct), asCALL_CDECL_OBJLAST);
  return r.value();
}

// Registers a handle type and its behaviours, in this order: the type, the
// construct (by default the empty handle), the assignment, the destruct.
// Returns the sum of the error codes (0 when all succeeded).
template <class Handle>
int registerHandleType(asIScriptEngine* engine, const char* typeName,
                       void (*construct)(void*) = &handle_construct<Handle>) {
  RegistrationSum r;
  r += registerHandleObjectType<Handle>(engine, typeName);
  r += registerHandleBehaviours<Handle>(engine, typeName, construct);
  return r.value();
}

// Loads `name` through the resource store into the empty `handle`. When
// there is no store, or the store cannot deliver the name, the run ends with
// "Error loading <kind> (<name>) - Abort".
void loadOrAbort(const std::string& name, TQDataHandler& handler, TQSmartPointerAbstract& handle,
                 std::uint32_t flags, const char* kind);

// A new count cell holding 0 for a factory's handle. Cells are never freed
// during the run (handles never free a count, and a cell may outlive its
// object); they stay reachable from one store for the whole process.
int* newCountCell();

// A factory's result: the only handle of a new object, owning, count 1; an
// object that the creating call failed to make gives a counted, owning
// handle without an object.
template <class Handle, class Object>
Handle makeFactoryHandle(Object* object) {
  int* count = newCountCell();
  Handle temporary;
  temporary.attach(object, count, true);  // count 1
  Handle result(temporary);               // count 2
  return result;                          // the temporary goes: count 1
}
