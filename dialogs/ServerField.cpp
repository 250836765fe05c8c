#include "dialogs/ServerField.h"

#include <QComboBox>

#include "dialogs/BrieflotseEdit.h"

namespace ServerField {

void ApplyRules(QComboBox* Field)
{
    Field->setEditable(true);
    Field->setInsertPolicy(QComboBox::NoInsert);
    Field->setMaxVisibleItems(16);
    Field->setValidator(new TKeyFilterValidator(Field));
    Field->setCompleter(nullptr);
}

void PushHistory(QComboBox* Combo, const QString& Text)
{
    for (int Index = Combo->count() - 1; Index >= 0; --Index) {
        if (Combo->itemText(Index).compare(Text, Qt::CaseInsensitive) == 0)
            Combo->removeItem(Index);
    }
    Combo->insertItem(0, Text);
    while (Combo->count() > kHistoryLimit)
        Combo->removeItem(Combo->count() - 1);
}

} // namespace ServerField
