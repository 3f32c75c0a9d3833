#include "osutilities.h"

#include <QFontMetricsF>
#include <QPointer>
#include <QRegularExpression>
#include <QWidget>

namespace QoviLumen {

namespace {

struct HostFacts {
    QPointer<QWidget> pluginWidget;
    int platform = OSUtilities::UnknownPlatform;
    std::string geo;
    std::string componentId = "com.qovi.lumen";
};

HostFacts& facts()
{
    static HostFacts hostFacts;
    return hostFacts;
}

} // namespace

QWidget* OSUtilities::getPlayerPluginWidget()
{
    return facts().pluginWidget;
}

int OSUtilities::getPlatform()
{
    return facts().platform;
}

std::string OSUtilities::getGeo()
{
    return facts().geo;
}

std::string OSUtilities::getComponentIdUTF8()
{
    return facts().componentId;
}

void OSUtilities::FixEmExStyleSheet(QWidget* widget)
{
    if (!widget)
        return;
    static const QRegularExpression length(QStringLiteral("(\\d+(?:\\.\\d+)?|\\.\\d+)(em|ex)\\b"));
    const QFontMetricsF metrics(widget->font());
    const QString sheet = widget->styleSheet();
    QString fixed;
    int copied = 0;
    for (auto it = length.globalMatch(sheet); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const qreal unit = match.captured(2) == QLatin1String("em") ? metrics.height() : metrics.xHeight();
        const long pixels = qRound(match.captured(1).toDouble() * unit);
        fixed += sheet.midRef(copied, match.capturedStart() - copied) + QString::number(pixels) + QLatin1String("px");
        copied = match.capturedEnd();
    }
    if (copied == 0)
        return;
    fixed += sheet.midRef(copied);
    widget->setStyleSheet(fixed);
}

void OSUtilities::setPlayerPluginWidget(QWidget* widget)
{
    facts().pluginWidget = widget;
}

void OSUtilities::setPlatform(int platform)
{
    facts().platform = platform;
}

void OSUtilities::setGeo(const std::string& geo)
{
    facts().geo = geo;
}

void OSUtilities::setComponentId(const std::string& componentId)
{
    facts().componentId = componentId;
}

} // namespace QoviLumen
