// Top-level windows from the X server, through XCB.
//
// libxcb is loaded with dlopen on first use, not linked: the library must
// load and work on a machine that has no X libraries at all, and there the
// window list is simply not to be had. The headers give types only.
//
// Each call opens its own connection and closes it before returning, so no
// state is shared between calls or threads. XCB hands every error to the
// request that caused it, so nothing here touches a process-wide error
// handler, and a window that vanishes while it is being asked about is just a
// request that failed. Requests go out in batches and their replies are
// collected afterwards, so that a few round trips serve many windows.
//
// The X server is another program, and may accept a connection and then
// never answer. libxcb waits for an answer without limit, so no reply is
// waited for through it: each is polled for on the connection's socket until
// one deadline for the whole call, after which the call gives up and the
// caller gets no more windows.
#include "platform/platform.h"

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace sorvik::platform {
namespace {

struct Xcb {
    decltype(&xcb_connect) connect;
    decltype(&xcb_get_file_descriptor) fileDescriptor;
    decltype(&xcb_flush) flush;
    decltype(&xcb_poll_for_reply) pollForReply;
    decltype(&xcb_connection_has_error) connectionHasError;
    decltype(&xcb_disconnect) disconnect;
    decltype(&xcb_get_setup) getSetup;
    decltype(&xcb_setup_roots_iterator) setupRootsIterator;
    decltype(&xcb_screen_next) screenNext;
    decltype(&xcb_intern_atom) internAtom;
    decltype(&xcb_get_property) getProperty;
    decltype(&xcb_get_property_value) getPropertyValue;
    decltype(&xcb_get_property_value_length) getPropertyValueLength;
    decltype(&xcb_query_tree) queryTree;
    decltype(&xcb_query_tree_children) queryTreeChildren;
    decltype(&xcb_query_tree_children_length) queryTreeChildrenLength;
    decltype(&xcb_get_window_attributes) getWindowAttributes;
    decltype(&xcb_prefetch_extension_data) prefetchExtensionData;
    decltype(&xcb_get_extension_data) getExtensionData;

    // The X-Resource extension, which names the process behind a window that
    // does not name it itself; all null when libxcb-res is missing.
    xcb_extension_t *resId;
    decltype(&xcb_res_query_client_ids) resQueryClientIds;
    decltype(&xcb_res_query_client_ids_ids_iterator) resIdsIterator;
    decltype(&xcb_res_client_id_value_next) resIdValueNext;
    decltype(&xcb_res_client_id_value_value) resIdValueValue;
    decltype(&xcb_res_client_id_value_value_length) resIdValueValueLength;
};

template <typename F>
bool bind(void *library, const char *name, F *function) {
    *function = reinterpret_cast<F>(dlsym(library, name));
    return *function != nullptr;
}

bool loadCore(Xcb *x) {
    void *core = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!core) return false;
    return bind(core, "xcb_connect", &x->connect) && bind(core, "xcb_get_file_descriptor", &x->fileDescriptor) &&
           bind(core, "xcb_flush", &x->flush) && bind(core, "xcb_poll_for_reply", &x->pollForReply) &&
           bind(core, "xcb_connection_has_error", &x->connectionHasError) &&
           bind(core, "xcb_disconnect", &x->disconnect) && bind(core, "xcb_get_setup", &x->getSetup) &&
           bind(core, "xcb_setup_roots_iterator", &x->setupRootsIterator) &&
           bind(core, "xcb_screen_next", &x->screenNext) && bind(core, "xcb_intern_atom", &x->internAtom) &&
           bind(core, "xcb_get_property", &x->getProperty) &&
           bind(core, "xcb_get_property_value", &x->getPropertyValue) &&
           bind(core, "xcb_get_property_value_length", &x->getPropertyValueLength) &&
           bind(core, "xcb_query_tree", &x->queryTree) &&
           bind(core, "xcb_query_tree_children", &x->queryTreeChildren) &&
           bind(core, "xcb_query_tree_children_length", &x->queryTreeChildrenLength) &&
           bind(core, "xcb_get_window_attributes", &x->getWindowAttributes) &&
           bind(core, "xcb_prefetch_extension_data", &x->prefetchExtensionData) &&
           bind(core, "xcb_get_extension_data", &x->getExtensionData);
}

void loadRes(Xcb *x) {
    void *res = dlopen("libxcb-res.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!res) return;
    x->resId = static_cast<xcb_extension_t *>(dlsym(res, "xcb_res_id"));
    if (!x->resId || !bind(res, "xcb_res_query_client_ids", &x->resQueryClientIds) ||
        !bind(res, "xcb_res_query_client_ids_ids_iterator", &x->resIdsIterator) ||
        !bind(res, "xcb_res_client_id_value_next", &x->resIdValueNext) ||
        !bind(res, "xcb_res_client_id_value_value", &x->resIdValueValue) ||
        !bind(res, "xcb_res_client_id_value_value_length", &x->resIdValueValueLength))
        x->resId = nullptr;
}

struct Loaded {
    Xcb api{};
    bool present = false;
};

Loaded load() {
    Loaded loaded;
    loaded.present = loadCore(&loaded.api);
    if (loaded.present) loadRes(&loaded.api);
    return loaded;
}

// Loaded once per process, by whichever thread asks first; the libraries
// stay loaded until the process ends.
const Xcb *xcb() {
    static const Loaded loaded = load();
    return loaded.present ? &loaded.api : nullptr;
}

// Replies and errors are malloc'ed by libxcb and freed by their receiver.
template <typename Reply>
struct Owned {
    Reply *reply = nullptr;
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { std::free(reply); }
    void reset(Reply *r) {
        std::free(reply);
        reply = r;
    }
};

// One call's connection and the moment by which it must be done with it.
struct Session {
    const Xcb &x;
    xcb_connection_t *c;
    timespec deadline;
    bool expired = false;
};

constexpr int kDisplayWaitSeconds = 2;

timespec deadlineFromNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += kDisplayWaitSeconds;
    return now;
}

// Milliseconds left until `deadline`, 0 once it has passed.
int millisecondsLeft(const timespec &deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                           (static_cast<long long>(deadline.tv_nsec) - now.tv_nsec) / 1000000;
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits until `fd` is ready for `events` or the deadline passes; false then.
bool awaitReady(int fd, short events, const timespec &deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, millisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// The reply to `cookie`, or null for an error, a broken connection or a
// deadline passed; once the deadline has passed, nothing more is waited for.
template <typename Reply, typename Cookie>
Reply *collect(Session &s, Cookie cookie) {
    if (s.expired) return nullptr;
    if (s.x.flush(s.c) <= 0) return nullptr;
    const int fd = s.x.fileDescriptor(s.c);
    for (;;) {
        void *reply = nullptr;
        xcb_generic_error_t *error = nullptr;
        if (s.x.pollForReply(s.c, cookie.sequence, &reply, &error)) {
            std::free(error);
            return static_cast<Reply *>(reply);
        }
        if (!awaitReady(fd, POLLIN, s.deadline)) {
            s.expired = true;
            return nullptr;
        }
    }
}

struct Atoms {
    xcb_atom_t clientList = XCB_ATOM_NONE;
    xcb_atom_t wmPid = XCB_ATOM_NONE;
    xcb_atom_t netWmName = XCB_ATOM_NONE;
    xcb_atom_t utf8String = XCB_ATOM_NONE;
};

// Atoms that no client has ever named cannot be set on any window, so they
// are looked up without being created, and a missing one skips its request.
Atoms internAtoms(Session &s) {
    const Xcb &x = s.x;
    xcb_connection_t *c = s.c;
    const char *names[] = {"_NET_CLIENT_LIST", "_NET_WM_PID", "_NET_WM_NAME", "UTF8_STRING"};
    xcb_intern_atom_cookie_t cookies[4];
    for (int i = 0; i < 4; ++i)
        cookies[i] = x.internAtom(c, 1, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    xcb_atom_t found[4];
    for (int i = 0; i < 4; ++i) {
        Owned<xcb_intern_atom_reply_t> reply;
        reply.reset(collect<xcb_intern_atom_reply_t>(s, cookies[i]));
        found[i] = reply.reply ? reply.reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }
    return Atoms{found[0], found[1], found[2], found[3]};
}

constexpr size_t kTitleBytes = 63;
constexpr uint32_t kTitleLongs = (kTitleBytes + 1) / 4;  // one byte past the cut, to see where it falls

// Copies a window's text into `title`, cut to 63 bytes; a UTF-8 text is cut
// before the sequence the 64th byte belongs to, never through it. False
// when the property holds no 8-bit text.
bool textOf(const Xcb &x, const xcb_get_property_reply_t *reply, xcb_atom_t utf8String, char *title) {
    if (!reply || reply->format != 8 || reply->type == XCB_ATOM_NONE) return false;
    const auto *bytes = static_cast<const unsigned char *>(x.getPropertyValue(reply));
    size_t length = static_cast<size_t>(x.getPropertyValueLength(reply));
    const void *nul = std::memchr(bytes, '\0', length);
    if (nul) length = static_cast<size_t>(static_cast<const unsigned char *>(nul) - bytes);
    if (length > kTitleBytes) {
        length = kTitleBytes;
        if (utf8String != XCB_ATOM_NONE && reply->type == utf8String)
            for (int back = 0; back < 3 && length > 0 && (bytes[length] & 0xC0) == 0x80; ++back) --length;
    }
    std::memcpy(title, bytes, length);
    title[length] = '\0';
    return true;
}

uint32_t cardinalOf(const Xcb &x, const xcb_get_property_reply_t *reply) {
    if (!reply || reply->format != 32 || reply->type != XCB_ATOM_CARDINAL || x.getPropertyValueLength(reply) < 1)
        return 0;
    return *static_cast<const uint32_t *>(x.getPropertyValue(reply));
}

// The process the server knows behind the client that created `window`.
uint32_t serverPidOf(Session &s, xcb_res_query_client_ids_cookie_t cookie) {
    const Xcb &x = s.x;
    Owned<xcb_res_query_client_ids_reply_t> reply;
    reply.reset(collect<xcb_res_query_client_ids_reply_t>(s, cookie));
    if (!reply.reply) return 0;
    for (xcb_res_client_id_value_iterator_t it = x.resIdsIterator(reply.reply); it.rem > 0; x.resIdValueNext(&it))
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && x.resIdValueValueLength(it.data) >= 1)
            return *x.resIdValueValue(it.data);
    return 0;
}

// Windows are asked about this many at a time: few round trips, and a
// bounded number of replies waiting in the connection.
constexpr int kBatch = 256;

struct Batch {
    xcb_get_window_attributes_cookie_t attributes[kBatch];
    xcb_get_property_cookie_t pid[kBatch];
    xcb_get_property_cookie_t netName[kBatch];
    xcb_get_property_cookie_t wmName[kBatch];
    xcb_res_query_client_ids_cookie_t serverPid[kBatch];
    bool exists[kBatch];
    bool visible[kBatch];
    uint32_t owner[kBatch];
    char title[kBatch][kTitleBytes + 1];
};

void visitBatch(Session &s, const Atoms &atoms, bool haveRes, const xcb_window_t *windows, int count, Batch *b,
                WindowVisitor visit, void *context) {
    const Xcb &x = s.x;
    xcb_connection_t *c = s.c;
    for (int i = 0; i < count; ++i) {
        b->attributes[i] = x.getWindowAttributes(c, windows[i]);
        if (atoms.wmPid != XCB_ATOM_NONE)
            b->pid[i] = x.getProperty(c, 0, windows[i], atoms.wmPid, XCB_ATOM_CARDINAL, 0, 1);
        if (atoms.netWmName != XCB_ATOM_NONE && atoms.utf8String != XCB_ATOM_NONE)
            b->netName[i] = x.getProperty(c, 0, windows[i], atoms.netWmName, atoms.utf8String, 0, kTitleLongs);
        b->wmName[i] = x.getProperty(c, 0, windows[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, kTitleLongs);
    }
    bool askServer = false;
    for (int i = 0; i < count; ++i) {
        Owned<xcb_get_window_attributes_reply_t> attributes;
        attributes.reset(collect<xcb_get_window_attributes_reply_t>(s, b->attributes[i]));
        b->exists[i] = attributes.reply != nullptr;
        b->visible[i] = attributes.reply && attributes.reply->map_state == XCB_MAP_STATE_VIEWABLE;

        Owned<xcb_get_property_reply_t> property;
        b->owner[i] = 0;
        if (atoms.wmPid != XCB_ATOM_NONE) {
            property.reset(collect<xcb_get_property_reply_t>(s, b->pid[i]));
            b->owner[i] = cardinalOf(x, property.reply);
        }
        // _NET_WM_NAME when it holds UTF-8 text, else the older WM_NAME.
        b->title[i][0] = '\0';
        bool named = false;
        if (atoms.netWmName != XCB_ATOM_NONE && atoms.utf8String != XCB_ATOM_NONE) {
            property.reset(collect<xcb_get_property_reply_t>(s, b->netName[i]));
            named = property.reply && property.reply->type == atoms.utf8String &&
                    textOf(x, property.reply, atoms.utf8String, b->title[i]) && b->title[i][0] != '\0';
        }
        property.reset(collect<xcb_get_property_reply_t>(s, b->wmName[i]));
        if (!named) textOf(x, property.reply, atoms.utf8String, b->title[i]);

        if (b->exists[i] && b->owner[i] == 0 && haveRes) {
            const xcb_res_client_id_spec_t spec{windows[i], XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            b->serverPid[i] = x.resQueryClientIds(c, 1, &spec);
            askServer = true;
        }
    }
    if (askServer)
        for (int i = 0; i < count; ++i)
            if (b->exists[i] && b->owner[i] == 0) b->owner[i] = serverPidOf(s, b->serverPid[i]);
    // A batch the server did not answer in time is not handed on half done.
    if (s.expired) return;
    for (int i = 0; i < count; ++i)
        if (b->exists[i]) visit(context, windows[i], b->owner[i], b->visible[i], b->title[i]);
}

// The top-level windows of one screen: the window manager's list of the
// windows it manages, in its order, when it publishes one; else the root's
// children, bottom to top.
void visitScreen(Session &s, const Atoms &atoms, bool haveRes, xcb_window_t root, Batch *b, WindowVisitor visit,
                 void *context) {
    const Xcb &x = s.x;
    xcb_connection_t *c = s.c;
    xcb_get_property_cookie_t listCookie{};
    if (atoms.clientList != XCB_ATOM_NONE)
        listCookie = x.getProperty(c, 0, root, atoms.clientList, XCB_ATOM_WINDOW, 0, UINT32_MAX / 4);
    const xcb_query_tree_cookie_t treeCookie = x.queryTree(c, root);

    Owned<xcb_get_property_reply_t> list;
    if (atoms.clientList != XCB_ATOM_NONE) list.reset(collect<xcb_get_property_reply_t>(s, listCookie));
    Owned<xcb_query_tree_reply_t> tree;
    tree.reset(collect<xcb_query_tree_reply_t>(s, treeCookie));

    const xcb_window_t *windows = nullptr;
    int count = 0;
    if (list.reply && list.reply->type == XCB_ATOM_WINDOW && list.reply->format == 32) {
        windows = static_cast<const xcb_window_t *>(x.getPropertyValue(list.reply));
        // The value's length is counted in bytes; value_len counts windows.
        count = static_cast<int>(list.reply->value_len);
    } else if (tree.reply) {
        windows = x.queryTreeChildren(tree.reply);
        count = x.queryTreeChildrenLength(tree.reply);
    }
    for (int done = 0; done < count && !s.expired; done += kBatch) {
        const int n = count - done < kBatch ? count - done : kBatch;
        visitBatch(s, atoms, haveRes, windows + done, n, b, visit, context);
    }
}

// ---- Connecting without waiting for ever ---------------------------------

// libxcb's connection handshake waits for the server's answer without limit
// and cannot be interrupted, so it runs on a thread of its own while the
// caller waits for it only until the deadline. A caller that stops waiting
// leaves the thread to end when the server answers or goes; until then no
// new attempt starts, so a server that never answers costs one thread.
struct PendingConnection {
    std::mutex lock;
    std::condition_variable finishedOrAbandoned;
    const Xcb *x = nullptr;
    xcb_connection_t *c = nullptr;
    bool finished = false;
    bool abandoned = false;
};

std::atomic<bool> gConnecting{false};

void *connectInBackground(void *argument) {
    auto *pending = static_cast<PendingConnection *>(argument);
    xcb_connection_t *c = pending->x->connect(nullptr, nullptr);
    bool abandoned;
    {
        std::lock_guard<std::mutex> hold(pending->lock);
        pending->c = c;
        pending->finished = true;
        abandoned = pending->abandoned;
        pending->finishedOrAbandoned.notify_one();
    }
    if (abandoned) {
        pending->x->disconnect(c);
        delete pending;
        gConnecting.store(false);
    }
    return nullptr;
}

// A child forked meanwhile has no such thread, and need not wait for it.
void forgetAttemptInChild() { gConnecting.store(false); }

// The thread may still run this library's code after its caller returned,
// so the library is kept loaded for the life of the process.
void keepLibraryLoaded() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&connectInBackground), &info) && info.dli_fname)
            dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
        pthread_atfork(nullptr, nullptr, forgetAttemptInChild);
    });
}

// A connection to the display DISPLAY names, as every X client finds it;
// null when there is none, or none before the deadline.
xcb_connection_t *connectBy(const Xcb &x, const timespec &deadline) {
    if (gConnecting.exchange(true)) return nullptr;  // an earlier attempt still waits
    auto *pending = new (std::nothrow) PendingConnection;
    if (!pending) {
        gConnecting.store(false);
        return nullptr;
    }
    pending->x = &x;
    // The thread takes no signal meant for the caller's process.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, connectInBackground, pending) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!started) {
        delete pending;
        gConnecting.store(false);
        return nullptr;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(millisecondsLeft(deadline));
    {
        std::unique_lock<std::mutex> hold(pending->lock);
        if (!pending->finishedOrAbandoned.wait_until(hold, until, [pending] { return pending->finished; })) {
            pending->abandoned = true;
            keepLibraryLoaded();
            return nullptr;
        }
    }
    xcb_connection_t *c = pending->c;
    delete pending;
    gConnecting.store(false);
    return c;
}

struct Connection {
    const Xcb &x;
    xcb_connection_t *c;
    ~Connection() { x.disconnect(c); }
};

// libxcb writes to the server's socket without MSG_NOSIGNAL, so a server
// that goes away during a call would raise SIGPIPE, whose default action
// ends the caller's process. The calling thread blocks it for the call and
// takes back the one the call raised; the process's handlers stay as they are.
class PipeSignalBlocked {
  public:
    PipeSignalBlocked() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        wasPending_ = pending();
    }
    ~PipeSignalBlocked() {
        if (!wasPending_ && pending()) {
            const timespec none{0, 0};
            sigtimedwait(&pipe_, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalBlocked(const PipeSignalBlocked &) = delete;
    PipeSignalBlocked &operator=(const PipeSignalBlocked &) = delete;

  private:
    static bool pending() {
        sigset_t set;
        return sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
    }
    sigset_t pipe_;
    sigset_t old_;
    bool wasPending_ = false;
};

}  // namespace

bool listWindows(WindowVisitor visit, void *context) {
    const Xcb *x = xcb();
    if (!x) return false;
    const PipeSignalBlocked quiet;
    const timespec deadline = deadlineFromNow();
    xcb_connection_t *c = connectBy(*x, deadline);
    if (!c) return false;
    const Connection connection{*x, c};
    if (x->connectionHasError(c)) return false;
    Session session{*x, c, deadline};
    // The extension's answer is asked for before the atoms' and so arrives
    // before them; once they are in, reading it waits for nothing.
    if (x->resId) x->prefetchExtensionData(c, x->resId);
    const Atoms atoms = internAtoms(session);
    if (session.expired) return false;
    bool haveRes = false;
    if (x->resId) {
        const xcb_query_extension_reply_t *res = x->getExtensionData(c, x->resId);
        haveRes = res && res->present;
    }
    auto *batch = static_cast<Batch *>(std::malloc(sizeof(Batch)));
    if (!batch) return true;
    for (xcb_screen_iterator_t screen = x->setupRootsIterator(x->getSetup(c)); screen.rem > 0 && !session.expired;
         x->screenNext(&screen))
        visitScreen(session, atoms, haveRes, screen.data->root, batch, visit, context);
    std::free(batch);
    return !session.expired;
}

}  // namespace sorvik::platform
