// SPDX-License-Identifier: MIT
// A QML host that does not link zendra: the engine finds the installed module through its import
// path and loads the plugin, which brings the library with it.
#include <QCoreApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTextStream>

#include <memory>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QQmlEngine engine;
    engine.addImportPath(QString::fromLocal8Bit(argv[1]));
    QQmlComponent component(&engine);
    component.setData(
        "import zendra\nFtpService { verifyPeer: false; activateSsl: false }\n", QUrl());
    std::unique_ptr<QObject> service(component.create());
    QTextStream out(stdout);
    if (!service) {
        out << component.errorString() << Qt::endl;
        return 1;
    }
    if (qstrcmp(service->metaObject()->className(), "zendra::FtpService") != 0
        || service->property("verifyPeer") != QVariant(false)
        || service->property("verifyHost") != QVariant(true)
        || service->property("activateSsl") != QVariant(false))
        return 1;
    component.setData("import zendra\nFtpDirectoryModel {}\n", QUrl());
    const std::unique_ptr<QObject> model(component.create());
    if (!model || model->property("status").toInt() != 0)
        return 1;
    out << "qml consumer ok" << Qt::endl;
    return 0;
}
