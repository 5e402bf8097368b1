// The Delta Algorithms page.
#include "sheets/gui/algorithms_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quoralith {

CAlgorithmsPage::CAlgorithmsPage(COperationSheet& sheet) : CSheetPage(sheet, SheetPage::Algorithms) {
    setObjectName(QStringLiteral("103"));
    icon_ = new QLabel;
    icon_->setObjectName(QStringLiteral("1034"));
    icon_->setFixedSize(70, 70);

    auto* numbers = new QGroupBox(tr("Optimization Algorithm Number (#)"));
    auto* grid = new QGridLayout(numbers);
    for (int i = 0; i < ALGORITHM_COUNT; ++i) {
        algorithms_[i] = new QCheckBox(QString::number(i));
        algorithms_[i]->setObjectName(QString::number(ALGORITHM_BOX_IDS[i]));
        grid->addWidget(algorithms_[i], i / 4, i % 4);
        connect(algorithms_[i], &QCheckBox::clicked, this, [this, i](bool checked) {
            job().Algorithms[i] = checked ? 1 : 0;
            show_current();
        });
    }
    auto* set_all_button = new QPushButton(tr("Set All"));
    set_all_button->setObjectName(QStringLiteral("1012"));
    auto* reset_button = new QPushButton(tr("Reset"));
    reset_button->setObjectName(QStringLiteral("1013"));
    connect(set_all_button, &QPushButton::clicked, this, [this] { set_all(1); });
    connect(reset_button, &QPushButton::clicked, this, [this] { set_all(0); });
    grid->addWidget(set_all_button, 2, 0, 1, 2);
    grid->addWidget(reset_button, 2, 2, 1, 2);

    // Set All and Reset are about the numbered algorithms only: the compact
    // format is a choice of its own.
    compact_ = new QCheckBox(tr("Compact"));
    compact_->setObjectName(QString::number(COMPACT_BOX_ID));
    compact_->setToolTip(tr("Also make a compact delta, a smaller format of our own; alone when no number is ticked"));
    grid->addWidget(compact_, 3, 0, 1, 4);
    connect(compact_, &QCheckBox::clicked, this, [this](bool checked) {
        job().CompactLevel = checked ? COMPACT_LEVEL_ON : 0;
        show_current();
    });

    auto* options = new QGroupBox(tr("Options"));
    keep_smallest_ = new QRadioButton(tr("Keep The Smallest Delta File Only"));
    keep_smallest_->setObjectName(QStringLiteral("1003"));
    keep_all_ = new QRadioButton(tr("Keep All Delta Files"));
    keep_all_->setObjectName(QStringLiteral("1004"));
    append_ = new QCheckBox(tr("Append # To Name"));
    append_->setObjectName(QStringLiteral("1014"));
    keep_group_ = new QButtonGroup(this);
    keep_group_->addButton(keep_smallest_);
    keep_group_->addButton(keep_all_);
    auto* options_layout = new QVBoxLayout(options);
    options_layout->addWidget(keep_smallest_);
    options_layout->addWidget(keep_all_);
    options_layout->addWidget(append_);
    connect(keep_smallest_, &QRadioButton::clicked, this, [this] {
        job().KeepAll = keep_smallest_->isChecked() ? 0 : 1;
        show_current();
    });
    connect(keep_all_, &QRadioButton::clicked, this, [this] {
        job().KeepAll = keep_all_->isChecked() ? 1 : 0;
        show_current();
    });
    bind_flag(append_, &JobSettings::AppendToName);

    auto* top = new QHBoxLayout;
    top->addWidget(icon_, 0, Qt::AlignTop);
    top->addWidget(numbers, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(options);
    layout->addStretch();
}

void CAlgorithmsPage::initialise() {
    create_picture_button(icon_);
    show_current();
}

void CAlgorithmsPage::set_all(int value) {
    for (int& element : job().Algorithms) element = value;
    show_current();
}

void CAlgorithmsPage::show_current() {
    AlgorithmsPageState state = algorithms_page_state(job());
    for (int i = 0; i < ALGORITHM_COUNT; ++i) {
        algorithms_[i]->setEnabled(true);
        algorithms_[i]->setChecked(state.algorithm_checked[i]);
    }
    // A record whose KeepAll is neither 0 nor 1 ticks neither radio.
    keep_group_->setExclusive(false);
    keep_smallest_->setChecked(state.keep_smallest_checked);
    keep_all_->setChecked(state.keep_all_checked);
    keep_group_->setExclusive(true);
    keep_smallest_->setEnabled(true);
    keep_all_->setEnabled(state.keep_all_enabled);
    compact_->setChecked(job().CompactLevel != 0);
    append_->setChecked(state.append_checked);
    append_->setEnabled(state.append_enabled);
}

}  // namespace quoralith
