// SPDX-License-Identifier: MIT
// A QML host that does not link zendra: the engine finds the installed module through the import
// path given as argument and loads the plugin, which brings the library.
#include <QCoreApplication>
#include <QQmlComponent>
#include <QQmlEngine>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QQmlEngine engine;
    engine.addImportPath(QString::fromLocal8Bit(argv[1]));
    QQmlComponent component(&engine);
    component.setData("import zendra\nFtpService { verifyPeer: false }\n", QUrl());
    const std::unique_ptr<QObject> service(component.create());
    const bool serviceOk = service
        && qstrcmp(service->metaObject()->className(), "zendra::FtpService") == 0
        && !service->property("verifyPeer").toBool() && service->property("verifyHost").toBool();
    component.setData("import zendra\nFtpDirectoryModel {}\n", QUrl());
    const std::unique_ptr<QObject> model(component.create());
    const bool ok = serviceOk && model && model->property("status").toInt() == 0;
    std::puts(ok ? "qml consumer ok" : qPrintable(component.errorString()));
    return ok ? 0 : 1;
}
