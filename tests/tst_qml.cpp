// SPDX-License-Identifier: MIT
// The QML element FtpService, loaded through the module in the build tree's import path.
#include "ftpservice.h"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using zendra::FtpService;

class TestQml : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void elementIsCreatedWithItsInitialProperties();
    void propertiesNotifyOnChangeOnly_data();
    void propertiesNotifyOnChangeOnly();
    void qmlHandlersSeeTheNotifySignals();

private:
    std::unique_ptr<QObject> create(QQmlEngine &engine, const QByteArray &qml);
};

std::unique_ptr<QObject> TestQml::create(QQmlEngine &engine, const QByteArray &qml)
{
    engine.addImportPath(QStringLiteral(ZENDRA_QML_IMPORT_DIR));
    QQmlComponent component(&engine);
    component.setData(qml, QUrl());
    std::unique_ptr<QObject> object(component.create());
    if (!object)
        qWarning() << component.errorString();
    return object;
}

void TestQml::elementIsCreatedWithItsInitialProperties()
{
    QQmlEngine engine;
    QVERIFY(!Service<FtpService>::hasInstance());
    std::unique_ptr<QObject> object
        = create(engine, "import zendra\nFtpService { verifyPeer: false }\n");
    QVERIFY(object);

    auto *service = qobject_cast<FtpService *>(object.get());
    QVERIFY(service);
    QCOMPARE(object->metaObject()->className(), "zendra::FtpService");
    QVERIFY(Service<FtpService>::hasInstance());
    QCOMPARE(&Service<FtpService>::instance(), service);

    QCOMPARE(object->property("verifyPeer"), QVariant(false));
    QCOMPARE(object->property("verifyHost"), QVariant(true));
    QCOMPARE(object->property("activateSsl"), QVariant(true));
    QCOMPARE(service->verifyPeer(), false);

    object.reset();
    QVERIFY(!Service<FtpService>::hasInstance());
}

void TestQml::propertiesNotifyOnChangeOnly_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("verifyPeer") << QByteArray("verifyPeer");
    QTest::newRow("verifyHost") << QByteArray("verifyHost");
    QTest::newRow("activateSsl") << QByteArray("activateSsl");
}

void TestQml::propertiesNotifyOnChangeOnly()
{
    QFETCH(QByteArray, name);
    QQmlEngine engine;
    std::unique_ptr<QObject> object
        = create(engine, "import zendra\nFtpService { verifyPeer: false }\n");
    QVERIFY(object);

    const QMetaObject *meta = object->metaObject();
    const QMetaProperty property = meta->property(meta->indexOfProperty(name.constData()));
    QVERIFY(property.isValid());
    QVERIFY(property.hasNotifySignal());
    QVERIFY(property.isWritable());
    QSignalSpy spy(object.get(), property.notifySignal());
    QVERIFY(spy.isValid());

    const bool initial = property.read(object.get()).toBool();
    QVERIFY(property.write(object.get(), initial));
    QCOMPARE(spy.count(), 0);

    QVERIFY(property.write(object.get(), !initial));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0), QVariant(!initial));
    QCOMPARE(property.read(object.get()), QVariant(!initial));

    QVERIFY(property.write(object.get(), !initial));
    QCOMPARE(spy.count(), 1);
    QVERIFY(property.write(object.get(), initial));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0), QVariant(initial));
}

void TestQml::qmlHandlersSeeTheNotifySignals()
{
    QQmlEngine engine;
    std::unique_ptr<QObject> object = create(engine,
        "import zendra\n"
        "FtpService {\n"
        "    property var seen: []\n"
        "    verifyPeer: false\n"
        "    onVerifyPeerChanged: seen = seen.concat(['peer ' + verifyPeer])\n"
        "    onVerifyHostChanged: seen = seen.concat(['host ' + verifyHost])\n"
        "    onActivateSslChanged: seen = seen.concat(['ssl ' + activateSsl])\n"
        "    function flip() {\n"
        "        seen = []\n"
        "        verifyHost = false; activateSsl = false; verifyPeer = true\n"
        "    }\n"
        "}\n");
    QVERIFY(object);

    QVERIFY(QMetaObject::invokeMethod(object.get(), "flip"));
    QCOMPARE(object->property("seen").toStringList(),
        QStringList({"host false", "ssl false", "peer true"}));
    auto *service = qobject_cast<FtpService *>(object.get());
    QVERIFY(service);
    QCOMPARE(service->verifyHost(), false);
    QCOMPARE(service->activateSsl(), false);
    QCOMPARE(service->verifyPeer(), true);
}

QTEST_GUILESS_MAIN(TestQml)
#include "tst_qml.moc"
