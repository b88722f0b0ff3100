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
#include "platform/platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace sorvik::platform {
namespace {

struct Xcb {
    decltype(&xcb_connect) connect;
    decltype(&xcb_connection_has_error) connectionHasError;
    decltype(&xcb_disconnect) disconnect;
    decltype(&xcb_get_setup) getSetup;
    decltype(&xcb_setup_roots_iterator) setupRootsIterator;
    decltype(&xcb_screen_next) screenNext;
    decltype(&xcb_intern_atom) internAtom;
    decltype(&xcb_intern_atom_reply) internAtomReply;
    decltype(&xcb_get_property) getProperty;
    decltype(&xcb_get_property_reply) getPropertyReply;
    decltype(&xcb_get_property_value) getPropertyValue;
    decltype(&xcb_get_property_value_length) getPropertyValueLength;
    decltype(&xcb_query_tree) queryTree;
    decltype(&xcb_query_tree_reply) queryTreeReply;
    decltype(&xcb_query_tree_children) queryTreeChildren;
    decltype(&xcb_query_tree_children_length) queryTreeChildrenLength;
    decltype(&xcb_get_window_attributes) getWindowAttributes;
    decltype(&xcb_get_window_attributes_reply) getWindowAttributesReply;
    decltype(&xcb_prefetch_extension_data) prefetchExtensionData;
    decltype(&xcb_get_extension_data) getExtensionData;

    // The X-Resource extension, which names the process behind a window that
    // does not name it itself; all null when libxcb-res is missing.
    xcb_extension_t *resId;
    decltype(&xcb_res_query_client_ids) resQueryClientIds;
    decltype(&xcb_res_query_client_ids_reply) resQueryClientIdsReply;
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
    return bind(core, "xcb_connect", &x->connect) && bind(core, "xcb_connection_has_error", &x->connectionHasError) &&
           bind(core, "xcb_disconnect", &x->disconnect) && bind(core, "xcb_get_setup", &x->getSetup) &&
           bind(core, "xcb_setup_roots_iterator", &x->setupRootsIterator) &&
           bind(core, "xcb_screen_next", &x->screenNext) && bind(core, "xcb_intern_atom", &x->internAtom) &&
           bind(core, "xcb_intern_atom_reply", &x->internAtomReply) &&
           bind(core, "xcb_get_property", &x->getProperty) &&
           bind(core, "xcb_get_property_reply", &x->getPropertyReply) &&
           bind(core, "xcb_get_property_value", &x->getPropertyValue) &&
           bind(core, "xcb_get_property_value_length", &x->getPropertyValueLength) &&
           bind(core, "xcb_query_tree", &x->queryTree) && bind(core, "xcb_query_tree_reply", &x->queryTreeReply) &&
           bind(core, "xcb_query_tree_children", &x->queryTreeChildren) &&
           bind(core, "xcb_query_tree_children_length", &x->queryTreeChildrenLength) &&
           bind(core, "xcb_get_window_attributes", &x->getWindowAttributes) &&
           bind(core, "xcb_get_window_attributes_reply", &x->getWindowAttributesReply) &&
           bind(core, "xcb_prefetch_extension_data", &x->prefetchExtensionData) &&
           bind(core, "xcb_get_extension_data", &x->getExtensionData);
}

void loadRes(Xcb *x) {
    void *res = dlopen("libxcb-res.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!res) return;
    x->resId = static_cast<xcb_extension_t *>(dlsym(res, "xcb_res_id"));
    if (!x->resId || !bind(res, "xcb_res_query_client_ids", &x->resQueryClientIds) ||
        !bind(res, "xcb_res_query_client_ids_reply", &x->resQueryClientIdsReply) ||
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

template <typename Reply, typename Cookie>
Reply *collect(Reply *(*receive)(xcb_connection_t *, Cookie, xcb_generic_error_t **), xcb_connection_t *c,
               Cookie cookie) {
    xcb_generic_error_t *error = nullptr;
    Reply *reply = receive(c, cookie, &error);
    std::free(error);
    return reply;
}

struct Atoms {
    xcb_atom_t clientList = XCB_ATOM_NONE;
    xcb_atom_t wmPid = XCB_ATOM_NONE;
    xcb_atom_t netWmName = XCB_ATOM_NONE;
    xcb_atom_t utf8String = XCB_ATOM_NONE;
};

// Atoms that no client has ever named cannot be set on any window, so they
// are looked up without being created, and a missing one skips its request.
Atoms internAtoms(const Xcb &x, xcb_connection_t *c) {
    const char *names[] = {"_NET_CLIENT_LIST", "_NET_WM_PID", "_NET_WM_NAME", "UTF8_STRING"};
    xcb_intern_atom_cookie_t cookies[4];
    for (int i = 0; i < 4; ++i)
        cookies[i] = x.internAtom(c, 1, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    xcb_atom_t found[4];
    for (int i = 0; i < 4; ++i) {
        Owned<xcb_intern_atom_reply_t> reply;
        reply.reset(collect(x.internAtomReply, c, cookies[i]));
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
uint32_t serverPidOf(const Xcb &x, xcb_connection_t *c, xcb_res_query_client_ids_cookie_t cookie) {
    Owned<xcb_res_query_client_ids_reply_t> reply;
    reply.reset(collect(x.resQueryClientIdsReply, c, cookie));
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

void visitBatch(const Xcb &x, xcb_connection_t *c, const Atoms &atoms, bool haveRes, const xcb_window_t *windows,
                int count, Batch *b, WindowVisitor visit, void *context) {
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
        attributes.reset(collect(x.getWindowAttributesReply, c, b->attributes[i]));
        b->exists[i] = attributes.reply != nullptr;
        b->visible[i] = attributes.reply && attributes.reply->map_state == XCB_MAP_STATE_VIEWABLE;

        Owned<xcb_get_property_reply_t> property;
        b->owner[i] = 0;
        if (atoms.wmPid != XCB_ATOM_NONE) {
            property.reset(collect(x.getPropertyReply, c, b->pid[i]));
            b->owner[i] = cardinalOf(x, property.reply);
        }
        // _NET_WM_NAME when it holds UTF-8 text, else the older WM_NAME.
        b->title[i][0] = '\0';
        bool named = false;
        if (atoms.netWmName != XCB_ATOM_NONE && atoms.utf8String != XCB_ATOM_NONE) {
            property.reset(collect(x.getPropertyReply, c, b->netName[i]));
            named = property.reply && property.reply->type == atoms.utf8String &&
                    textOf(x, property.reply, atoms.utf8String, b->title[i]) && b->title[i][0] != '\0';
        }
        property.reset(collect(x.getPropertyReply, c, b->wmName[i]));
        if (!named) textOf(x, property.reply, atoms.utf8String, b->title[i]);

        if (b->exists[i] && b->owner[i] == 0 && haveRes) {
            const xcb_res_client_id_spec_t spec{windows[i], XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            b->serverPid[i] = x.resQueryClientIds(c, 1, &spec);
            askServer = true;
        }
    }
    if (askServer)
        for (int i = 0; i < count; ++i)
            if (b->exists[i] && b->owner[i] == 0) b->owner[i] = serverPidOf(x, c, b->serverPid[i]);
    for (int i = 0; i < count; ++i)
        if (b->exists[i]) visit(context, windows[i], b->owner[i], b->visible[i], b->title[i]);
}

// The top-level windows of one screen: the window manager's list of the
// windows it manages, in its order, when it publishes one; else the root's
// children, bottom to top.
void visitScreen(const Xcb &x, xcb_connection_t *c, const Atoms &atoms, bool haveRes, xcb_window_t root, Batch *b,
                 WindowVisitor visit, void *context) {
    xcb_get_property_cookie_t listCookie{};
    if (atoms.clientList != XCB_ATOM_NONE)
        listCookie = x.getProperty(c, 0, root, atoms.clientList, XCB_ATOM_WINDOW, 0, UINT32_MAX / 4);
    const xcb_query_tree_cookie_t treeCookie = x.queryTree(c, root);

    Owned<xcb_get_property_reply_t> list;
    if (atoms.clientList != XCB_ATOM_NONE) list.reset(collect(x.getPropertyReply, c, listCookie));
    Owned<xcb_query_tree_reply_t> tree;
    tree.reset(collect(x.queryTreeReply, c, treeCookie));

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
    for (int done = 0; done < count; done += kBatch) {
        const int n = count - done < kBatch ? count - done : kBatch;
        visitBatch(x, c, atoms, haveRes, windows + done, n, b, visit, context);
    }
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
    // The display is the X library's to find, as every X client finds it.
    const Connection connection{*x, x->connect(nullptr, nullptr)};
    xcb_connection_t *c = connection.c;
    if (!c || x->connectionHasError(c)) return false;
    if (x->resId) x->prefetchExtensionData(c, x->resId);
    const Atoms atoms = internAtoms(*x, c);
    bool haveRes = false;
    if (x->resId) {
        const xcb_query_extension_reply_t *res = x->getExtensionData(c, x->resId);
        haveRes = res && res->present;
    }
    auto *batch = static_cast<Batch *>(std::malloc(sizeof(Batch)));
    if (!batch) return true;
    for (xcb_screen_iterator_t screen = x->setupRootsIterator(x->getSetup(c)); screen.rem > 0;
         x->screenNext(&screen))
        visitScreen(*x, c, atoms, haveRes, screen.data->root, batch, visit, context);
    std::free(batch);
    return true;
}

}  // namespace sorvik::platform
