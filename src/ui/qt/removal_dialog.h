// SPDX-License-Identifier: GPL-3.0-or-later
// The removal dialog: the virus's files that a repair found, each with a check box, and the
// choice to remove those checked or to keep them all.
#pragma once

#include <QDialog>
#include <QString>

#include <cstddef>
#include <vector>

#include "words/messages.h"

class QTreeWidget;

namespace kestrova::ui::qt {

class RemovalDialog final : public QDialog {
 public:
  // `text` above the list of `files`: one row each with its name and reason, and its detail, when
  // it has one, as the row's tooltip; every row checked. Keep is the default for Enter, and
  // Escape or the close box keep the files too (the dialog is rejected); `action` (Remove
  // selected) accepts.
  RemovalDialog(const QString& text, const QString& title, const QString& action,
                const std::vector<repair::messages::RemovalChoice>& files, QWidget* parent);

  // The rows checked, by their index in the files given.
  std::vector<std::size_t> Checked() const;

 private:
  QTreeWidget* list_ = nullptr;
};

}  // namespace kestrova::ui::qt
