#pragma once

#include <QFrame>

class QLabel;
class QPushButton;
class QTextEdit;

// One socket of the fixture on screen, large enough to read from two
// metres: its label, its chips' serial numbers, its state, a button to test
// it again, and its lines of its last run.
class SocketTile : public QFrame {
    Q_OBJECT

public:
    explicit SocketTile(const QString &key, QWidget *parent = nullptr);

    void show(const QString &label, const QString &chips);
    void ready();
    void wiringProblem(const QString &problem);
    void testing();
    void ended(bool passed, qint32 failCode);
    void addLine(const QString &line);
    // What the operator is to do, beneath the state ("Remove the pair");
    // empty: nothing.
    void waitFor(const QString &what);
    // Its pair has left: the socket waits for one.
    void empty(const QString &what);
    // The state as shown: "PASSED", "FAILED (8): received data differs…",
    // "WIRING: …", with its detail after a colon.
    QString stateText() const;

signals:
    void retestClicked(const QString &key);

private:
    void setState(const QString &text, const QString &detail, const char *colours);

    QString key;
    QLabel *label;
    QLabel *chips;
    QLabel *state;
    QLabel *detail;
    QLabel *next;
    QPushButton *retest;
    QTextEdit *log;
};
