#include "app/mw.h"

#include "app/mwform.h"

#include <QDateTime>
#include <QTimer>

MW::MW(DeviceLibrary &library, QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags()), PairSteps(library), form(new MwForm)
{
    form->setupForm(this);
    runCount = 0;
    failCode = 0;
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(1000);
    connect(refreshTimer, &QTimer::timeout, this, &MW::timeout, Qt::AutoConnection);
    refreshTimer->start();
    logMessage(QStringLiteral("Starting app ")
               + QDateTime::currentDateTime().toString(Qt::TextDate));
}

MW::~MW()
{
    logClosing();
    delete form;
    form = nullptr;
}

void MW::logClosing()
{
    if (closingLogged)
        return;
    closingLogged = true;
    logMessage(QStringLiteral("Closing app ") + QDateTime::currentDateTime().toString(Qt::TextDate)
               + QStringLiteral("\r\n"));
}

void MW::timeout()
{
    findDevices();
}
