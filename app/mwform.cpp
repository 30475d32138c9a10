#include "app/mwform.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMetaObject>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

template<typename Widget> Widget *addToLayout(Widget *widget, const char *name, QVBoxLayout *layout)
{
    widget->setObjectName(QString::fromUtf8(name));
    layout->addWidget(widget, 0, Qt::Alignment());
    return widget;
}

QTextEdit *addReadOnlyView(QWidget *parent, const char *name, QVBoxLayout *layout)
{
    auto *view = addToLayout(new QTextEdit(parent), name, layout);
    view->setReadOnly(true);
    return view;
}

QString translated(const char *sourceText)
{
    return QCoreApplication::translate("MW", sourceText, nullptr);
}

} // namespace

void MwForm::setupForm(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromUtf8("MW"));
    window->resize(466, 537);

    centralWidget = new QWidget(window, Qt::WindowFlags());
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
    verticalLayout = new QVBoxLayout(centralWidget);
    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(11, 11, 11, 11);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

    label_2 = addToLayout(new QLabel(centralWidget, Qt::WindowFlags()), "label_2", verticalLayout);
    devicesconnected = addReadOnlyView(centralWidget, "devicesconnected", verticalLayout);
    label = addToLayout(new QLabel(centralWidget, Qt::WindowFlags()), "label", verticalLayout);
    log = addReadOnlyView(centralWidget, "log", verticalLayout);
    startTest = addToLayout(new QPushButton(centralWidget), "startTest", verticalLayout);
    passed = addToLayout(new QLabel(centralWidget, Qt::WindowFlags()), "passed", verticalLayout);

    window->setCentralWidget(centralWidget);
    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QString::fromUtf8("statusBar"));
    window->setStatusBar(statusBar);

    setTexts(window);
    QMetaObject::connectSlotsByName(window);
}

void MwForm::setTexts(QMainWindow *window)
{
    window->setWindowTitle(translated("ZELOR-K3 Tester V1.0.0"));
    label_2->setText(translated("Currently plugged in devices"));
    label->setText(translated("Log"));
    startTest->setText(translated("Start test"));
    passed->setText(QString());
}
