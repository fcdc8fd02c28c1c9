// Workers and their work items. The framework creates a work item through a worker's factory
// for each request and calls its MessageHandler on one of the framework's delivery threads.
#pragma once

#include <windows.h>

#include <atomic>

#include "quillmesh/PropertyBag.h"
#include "quillmesh/QuillmeshApi.h"
#include "quillmesh/corestring.h"

namespace CORE {

class WorkItem;

// Outcome of SendMsg.
enum ResponseType {
    ResponseOk = 0,        // delivered; the handler answered true
    ResponseFailed = 1,    // delivered; the handler answered false
    ResponseNoWorker = 2,  // no worker of that name
    ResponseTimeout = 3,   // not answered within the time-out
    ResponseAborted = 4,   // the held request was abandoned
};

// Called with the outcome when a message is sent without waiting.
using MessageCallback = void (*)(ResponseType response, const PropertyBag& reply, void* context);

class QUILLMESH_API MessageHandler {
  public:
    // Delivers `message` with `parameters` to the worker `queue` and, when `waitForReply`,
    // waits up to `timeoutMs` (INFINITE: no limit) for the answer, copying it into `reply`.
    // Without waiting, the outcome goes to `callback` (when not null) on a framework thread.
    // `channel`, `replyQueue`, `targetMachine`, `headers` and `userToken` select remote
    // delivery, which this framework does not do: they must be null. `broadcast` false.
    ResponseType SendMsg(const wchar_t* queue, const wchar_t* message,
                         const PropertyBag& parameters, PropertyBag& reply,
                         MessageCallback callback, void* context, void* channel, DWORD timeoutMs,
                         const wchar_t* replyQueue, const wchar_t* targetMachine, bool waitForReply,
                         PropertyBag* headers, void* userToken, bool broadcast);

  protected:
    MessageHandler() = default;
    ~MessageHandler() = default;
};

class QUILLMESH_API WorkItem : public CORE::MessageHandler {
  public:
    WorkItem();
    WorkItem(const WorkItem&) = delete;
    WorkItem& operator=(const WorkItem&) = delete;

    virtual ~WorkItem();
    // Reference count; the item deletes itself when it drops to 0. Returns the new count.
    virtual long AddRef();
    virtual long Release();
    // One request. True when it succeeded; a failure's reason is the error set on `reply`.
    virtual bool MessageHandler(const corestring<wchar_t>& operation, const PropertyBag& request,
                                PropertyBag& reply);
    virtual void BroadcastMsg(const corestring<wchar_t>& queue, const corestring<wchar_t>& message,
                              PropertyBag& parameters);
    virtual bool EvalItem(WorkItem* first, WorkItem* second);
    virtual void StateHandler(int state);
    // The framework abandons a held request (time-out, worker removed, shutdown).
    virtual void AbortHandler();
    virtual void VisibilityHandler();

    // Called from MessageHandler: the framework holds the answer to the current request back
    // until StopKeepWorkItem. False when there is no current request or it is already held.
    bool KeepWorkItem();
    // Answers the held request with `success` and a copy of `reply` (null: an empty reply).
    // Any thread may call it; a call when nothing is held does nothing.
    void StopKeepWorkItem(bool success, const PropertyBag* reply);

  private:
    std::atomic<long> m_references;
};

// A work item that brackets each request with BeginOperation and EndOperation. The framework
// has no code for it: a plug-in that derives from it supplies these bodies.
class serviceOperation : public WorkItem {
  public:
    ~serviceOperation() override;
    virtual bool BeginOperation(const corestring<wchar_t>& operation, const PropertyBag& request,
                                PropertyBag& reply);
    virtual void EndOperation();
};

}  // namespace CORE
