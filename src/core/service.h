// SPDX-License-Identifier: MIT
#ifndef ZENDRA_SERVICE_H
#define ZENDRA_SERVICE_H

#include "zendraglobal.h"

#include <QtGlobal>

/// Process-wide registration of a service object: the newest instance of T built is the one
/// that instance() returns, until any instance of T is destroyed. At global scope, not in the
/// namespace zendra: Service<zendra::FtpService>::instance().
template<typename T>
class ZENDRA_EXPORT Service
{
public:
    /// Registers the T object this base belongs to, replacing any earlier registration.
    // The T part is not built yet, so the downcast is pure pointer arithmetic; the sanitizer's
    // dynamic type check would see a QObject here and must stay out of it.
#if defined(__GNUC__)
    __attribute__((no_sanitize("vptr")))
#endif
    Service()
    {
        T::m_instance = static_cast<T *>(this);
    }

    /// Clears the registration, whichever instance is registered.
    ~Service() { T::m_instance = nullptr; }

    /// Registration is tied to construction, so assignment leaves it alone.
    Service &operator=(const Service &) { return *this; }

    /// True while an instance of T is registered.
    static bool hasInstance() { return T::m_instance != nullptr; }

    /// The registered instance; call hasInstance() first.
    static T &instance()
    {
        Q_ASSERT_X(T::m_instance, "Service::instance", "no instance registered");
        return *T::m_instance;
    }
};

#endif // ZENDRA_SERVICE_H
