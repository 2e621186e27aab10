// RQSession: the session interface JPEG.kvx exports to the host's other modules. It holds no
// data; a session is its virtual table alone. Modules derive from it and implement the seven
// operations; JPEG.kvx itself neither creates nor calls a session. The class's constructors,
// destructor, copy assignment, virtual table and type information come from JPEG.kvx, so a
// module that derives from it links against JPEG.kvx.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#if defined(KV_BUILDING_MODULE)
#define RQ_SESSION_API __declspec(dllexport)
#else
#define RQ_SESSION_API __declspec(dllimport)
#endif
#else
#define RQ_SESSION_API __attribute__((visibility("default")))
#endif

class RQ_SESSION_API RQSession {
public:
    RQSession(const RQSession& other);
    virtual ~RQSession();
    RQSession& operator=(const RQSession& other);

    // Starts the session; 0 or a negative host result code.
    virtual int32_t Open() = 0;
    // Ends it; 0 or a negative host result code. A session is closed before it is destroyed.
    virtual int32_t Close() = 0;
    // Hands the session one request with its data; answers the request's number, or a negative
    // host result code when it is refused.
    virtual int32_t Submit(int32_t request, void* data) = 0;
    // Whether a submitted request has run: 0 done, 1 still running, or a negative result code.
    virtual int32_t Poll(int32_t ticket) = 0;
    // Asks a submitted request to stop at its next chance.
    virtual void Cancel(int32_t ticket) = 0;
    // Whether the session is open.
    virtual bool IsOpen() const = 0;
    // The session's name for messages, NUL-terminated, owned by the session.
    virtual const char* Name() const = 0;

protected:
    RQSession();
};
