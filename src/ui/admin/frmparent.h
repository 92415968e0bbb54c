#pragma once

#include "common/messages.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace sentrok {

class Database;

struct ParentDialogDeps {
    Database* db = nullptr;  // the administration window's connection
    MessageBoxes* boxes = nullptr;
    qint64 host = 0;  // whose parent is chosen
};

// Chooses the host another one is reached through (its router): while that one is down, a host
// behind it that stops answering is unreachable, not down, and raises no alarm of its own.
// Saving writes the choice at once; a choice that would close a circle is refused with the
// reason, and the dialog stays open.
class frmParent : public QDialog {
    Q_OBJECT
public:
    explicit frmParent(ParentDialogDeps deps, QWidget* parent = nullptr);

    // Lists the other hosts with the current parent chosen. False after telling the user why it
    // failed.
    bool Form_Load();
    void cmdSaveParent_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void filter(const QString& text);
    // The next item the filter shows after `from` (-1: the first), or -1.
    int nextShown(int from) const;

    ParentDialogDeps m_deps;
    QLabel* lblHost = nullptr;
    QLineEdit* txtFind = nullptr;
    QListWidget* lstParent = nullptr;
    QPushButton* cmdSaveParent = nullptr;
};

}  // namespace sentrok
