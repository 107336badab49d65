// SPDX-License-Identifier: MIT
#include "logcapture.h"

#include <zendra/encryptionservice.h>
#include <zendra/zendraglobal.h>

#include <QMetaMethod>
#include <QTest>

#include <memory>

using zendra::EncryptionService;

namespace {

// The checks below are written once per service class; each service adds its slots.

template<typename T>
void registrationFollowsConstructionAndDestruction()
{
    QVERIFY(!Service<T>::hasInstance());
    auto first = std::make_unique<T>();
    QVERIFY(Service<T>::hasInstance());
    QCOMPARE(&Service<T>::instance(), first.get());

    // The newest instance wins, without any regard for the old one.
    auto second = std::make_unique<T>();
    QCOMPARE(&Service<T>::instance(), second.get());

    // Assignment through the base never moves the registration.
    static_cast<Service<T> &>(*first) = static_cast<const Service<T> &>(*second);
    QCOMPARE(&Service<T>::instance(), second.get());
    static_cast<Service<T> &>(*second) = static_cast<const Service<T> &>(*first);
    QCOMPARE(&Service<T>::instance(), second.get());

    // Destroying any instance clears it, even while an older one lives on.
    second.reset();
    QVERIFY(!Service<T>::hasInstance());
    first.reset();
    QVERIFY(!Service<T>::hasInstance());

    // Destroying a non-registered instance clears a newer registration as well.
    auto old = std::make_unique<T>();
    auto current = std::make_unique<T>();
    old.reset();
    QVERIFY(!Service<T>::hasInstance());
}

template<typename T>
void registrationIsGoneBeforeQObjectTeardown()
{
    auto service = std::make_unique<T>();
    int destroyedCalls = 0;
    bool registeredDuringTeardown = true;
    QObject::connect(service.get(), &QObject::destroyed, [&] {
        ++destroyedCalls;
        registeredDuringTeardown = Service<T>::hasInstance();
    });
    // A child is deleted by the QObject part, after the registration is cleared.
    auto *child = new QObject(service.get());
    bool registeredWhenChildDies = true;
    QObject::connect(
        child, &QObject::destroyed, [&] { registeredWhenChildDies = Service<T>::hasInstance(); });
    service.reset();
    QCOMPARE(destroyedCalls, 1);
    QVERIFY(!registeredDuringTeardown);
    QVERIFY(!registeredWhenChildDies);
}

template<typename T>
void parentOwnsTheService()
{
    auto parent = std::make_unique<QObject>();
    T *service = new T(parent.get());
    QCOMPARE(service->parent(), parent.get());
    QCOMPARE(&Service<T>::instance(), service);
    parent.reset();
    QVERIFY(!Service<T>::hasInstance());
}

template<typename T>
void metaCastKnowsTheTemplateBase(
    const char *className, const char *baseName, const char *otherBaseName)
{
    T service;
    QObject *object = &service;
    QCOMPARE(
        object->qt_metacast(baseName), static_cast<void *>(static_cast<Service<T> *>(&service)));
    QCOMPARE(object->qt_metacast(className), static_cast<void *>(&service));
    QCOMPARE(object->qt_metacast("QObject"), static_cast<void *>(object));
    QCOMPARE(object->qt_metacast(otherBaseName), nullptr);
    QCOMPARE(object->qt_metacast("Service"), nullptr);
    QCOMPARE(object->qt_metacast("Service<T>"), nullptr);
    QCOMPARE(qobject_cast<T *>(object), &service);
}

template<typename T>
void metaObjectHasOnlyItsName(const char *className)
{
    const QMetaObject &meta = T::staticMetaObject;
    QCOMPARE(meta.className(), className);
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount(), meta.methodOffset());
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(meta.constructorCount(), 0);
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingIsRegisteredAtStart();
    void encryptionRegistrationFollowsConstructionAndDestruction();
    void encryptionRegistrationIsGoneBeforeQObjectTeardown();
    void encryptionParentOwnsTheService();
    void encryptionMetaCastKnowsTheTemplateBase();
    void encryptionMetaObjectHasOnlyItsName();
    void noopDoesNothing();
    void logLinesCarryNoContext();
};

void TestService::nothingIsRegisteredAtStart()
{
    QVERIFY(!Service<EncryptionService>::hasInstance());
}

void TestService::encryptionRegistrationFollowsConstructionAndDestruction()
{
    registrationFollowsConstructionAndDestruction<EncryptionService>();
}

void TestService::encryptionRegistrationIsGoneBeforeQObjectTeardown()
{
    registrationIsGoneBeforeQObjectTeardown<EncryptionService>();
}

void TestService::encryptionParentOwnsTheService()
{
    parentOwnsTheService<EncryptionService>();
}

void TestService::encryptionMetaCastKnowsTheTemplateBase()
{
    metaCastKnowsTheTemplateBase<EncryptionService>(
        "zendra::EncryptionService", "Service<EncryptionService>", "Service<FtpService>");
}

void TestService::encryptionMetaObjectHasOnlyItsName()
{
    metaObjectHasOnlyItsName<EncryptionService>("zendra::EncryptionService");
}

void TestService::noopDoesNothing()
{
    EncryptionService service;
    LogCapture log;
    for (int i = 0; i < 3; ++i)
        zendra_noop();
    QCOMPARE(&Service<EncryptionService>::instance(), &service);
    QVERIFY(log.entries().isEmpty());
}

void TestService::logLinesCarryNoContext()
{
    EncryptionService service;
    LogCapture log;
    service.init_ECB(QStringLiteral("id"), QByteArray("short"));
    service.performTest(QStringLiteral("id"), EncryptionService::ECB, 0, 0, 1);
    const QList<LogCapture::Entry> entries = log.entries();
    QCOMPARE(entries.size(), 3);
    for (const LogCapture::Entry &entry : entries)
        QVERIFY2(!entry.hasContext, qPrintable(entry.message));
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
