#pragma once

class QLabel;
class QMainWindow;
class QPushButton;
class QStatusBar;
class QTextEdit;
class QVBoxLayout;
class QWidget;

// Builds the station window's widgets and keeps pointers to them. The
// widgets belong to the window; the form owns nothing.
class MwForm {
public:
    QWidget *centralWidget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QLabel *label_2 = nullptr;
    QTextEdit *devicesconnected = nullptr;
    QLabel *label = nullptr;
    QTextEdit *log = nullptr;
    QPushButton *startTest = nullptr;
    QLabel *passed = nullptr;
    QStatusBar *statusBar = nullptr;

    void setupForm(QMainWindow *window);

private:
    void setTexts(QMainWindow *window);
};
