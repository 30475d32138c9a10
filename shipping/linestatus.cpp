#include "shipping/linestatus.h"

#include "app/mw.h"
#include "log/debugtrace.h"
#include "procedure/runrecord.h"

#include <QLabel>
#include <QStatusBar>

std::unique_ptr<LineShipping> shipRecords(MW &window, const LineConfig &config)
{
    return shipRecords(
        window, [&window](MW::RecordSink sink) { window.setRecordSink(std::move(sink)); }, config);
}

std::unique_ptr<LineShipping> shipRecords(QMainWindow &window, const RecordSinkSetter &setSink,
                                          const LineConfig &config)
{
    if (!config.station.isEmpty())
        RunRecord::setStation(config.station);
    if (config.conninfo.isEmpty())
        return nullptr;
    auto *state = new QLabel(&window);
    state->setObjectName(QStringLiteral("lineDatabase"));
    window.statusBar()->addPermanentWidget(state);
    if (!config.problem.isEmpty()) {
        DebugTrace() << "line database not used:" << config.problem;
        state->setText(QStringLiteral("Line database: not used"));
        state->setToolTip(config.problem);
        return nullptr;
    }
    state->setText(QStringLiteral("Line database: connecting"));
    auto shipping = std::make_unique<LineShipping>(config, RunRecord::FileName);
    QObject::connect(shipping.get(), &LineShipping::stateChanged, state,
                     [state](const QString &text, const QString &detail) {
                         state->setText(text);
                         state->setToolTip(detail);
                     });
    setSink([s = shipping.get()](const QByteArray &line, bool journaled) {
        s->recordWritten(line, journaled);
    });
    return shipping;
}
