// SPDX-License-Identifier: MIT
// Linked into every program of a ThreadSanitizer build: what the sanitizer must be told about
// Debian's Qt, which it cannot instrument.
#include <QEvent>
#include <QObject>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>
#include <sched.h>

#include <cstdarg>

// Qt hands calls, their arguments, slot objects and deferred deletes from thread to thread
// under its own locks and reference counts, out of the sanitizer's sight. Modelled here:
// emitting, posting a call and deleting later release one clock, which a call made through a
// slot object and a deferred delete acquire; a slot object's end sees what its calls did, the
// caller of a blocking call what the call did. One clock for all emitters may hide a race, but
// only between a thread that emitted and one that later ran a slot.

namespace {

char emitted;

template<typename Function>
Function qtCore(const char *symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

bool eventReceived(void **data)
{
    if (static_cast<QEvent *>(data[1])->type() == QEvent::DeferredDelete)
        __tsan_acquire(&emitted);
    return false;
}

struct Registration
{
    Registration() { QInternal::registerCallback(QInternal::EventNotifyCallback, eventReceived); }
} registration;

// Stands in for a slot object given to Qt.
class HandedOver : public QtPrivate::QSlotObjectBase
{
public:
    explicit HandedOver(QtPrivate::QSlotObjectBase *slot) : QSlotObjectBase(&impl), m_slot(slot) { }

private:
    static void impl(int which, QSlotObjectBase *self, QObject *receiver, void **args, bool *ret)
    {
        auto *that = static_cast<HandedOver *>(self);
        if (which == Call) {
            __tsan_acquire(&emitted);
            that->m_slot->call(receiver, args);
            __tsan_release(that);
        } else if (which == Compare) {
            *ret = that->m_slot->compare(args);
        } else if (which == Destroy) {
            __tsan_acquire(that);
            that->m_slot->destroyIfLastRef();
            delete that;
        }
    }

    QtPrivate::QSlotObjectBase *m_slot;
};

} // namespace

void QMetaObject::activate(QObject *sender, const QMetaObject *meta, int index, void **argv)
{
    static const auto real = qtCore<void (*)(QObject *, const QMetaObject *, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(&emitted);
    real(sender, meta, index, argv);
}

QMetaObject::Connection QObject::connectImpl(const QObject *sender, void **signal,
    const QObject *receiver, void **slotPtr, QtPrivate::QSlotObjectBase *slot,
    Qt::ConnectionType type, const int *types, const QMetaObject *senderMetaObject)
{
    using Connect = QMetaObject::Connection (*)(const QObject *, void **, const QObject *, void **,
        QtPrivate::QSlotObjectBase *, Qt::ConnectionType, const int *, const QMetaObject *);
    static const auto real = qtCore<Connect>("_ZN7QObject11connectImplEPKS_PPvS1_S3_PN9QtPrivate"
                                             "15QSlotObjectBaseEN2Qt14ConnectionTypeEPKiPK11QMeta"
                                             "Object");
    if (slot)
        slot = new HandedOver(slot);
    return real(sender, signal, receiver, slotPtr, slot, type, types, senderMetaObject);
}

bool QMetaObject::invokeMethodImpl(
    QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, void *ret)
{
    static const auto real
        = qtCore<bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *)>(
            "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14"
            "ConnectionTypeEPv");
    auto *handedOver = new HandedOver(slot);
    // The caller of a blocking call sees what the call did, so the slot object lives until then.
    const bool blocking = type == Qt::BlockingQueuedConnection;
    if (blocking)
        handedOver->ref();
    __tsan_release(&emitted);
    const bool invoked = real(object, handedOver, type, ret);
    if (blocking) {
        __tsan_acquire(handedOver);
        handedOver->destroyIfLastRef();
    }
    return invoked;
}

void QObject::deleteLater()
{
    static const auto real = qtCore<void (*)(QObject *)>("_ZN7QObject11deleteLaterEv");
    __tsan_release(&emitted);
    real(this);
}

// QProcess starts programs with a vfork-style clone(). The sanitizer's clone() then does its
// after-fork bookkeeping in the child, which shares the parent's memory: the parent's thread
// loses all checking and its next new thread aborts the process. The C library's clone() only.
extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    using Clone = int (*)(int (*)(void *), void *, int, void *, ...);
    static const auto libcClone
        = reinterpret_cast<Clone>(dlsym(dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD), "clone"));
    static const auto sanitizerClone = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    va_list rest;
    va_start(rest, arg);
    void *parentTid = va_arg(rest, void *);
    void *tls = va_arg(rest, void *);
    void *childTid = va_arg(rest, void *);
    va_end(rest);
    const Clone target = (flags & CLONE_VM) && (flags & CLONE_VFORK) ? libcClone : sanitizerClone;
    return target(fn, stack, flags, arg, parentTid, tls, childTid);
}
