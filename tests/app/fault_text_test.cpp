// Failures of files in the windows' words: the step, the file and the reason in Russian;
// the system's own text only for an error number without a word of ours.

#include <QTest>

#include <cerrno>
#include <cstring>

#include "fault_text.h"

using namespace grafimo;
using Step = FileFault::Step;

class FaultTextTest : public QObject {
    Q_OBJECT
private slots:
    void eachStepAndReasonIsWordedInRussian_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        const auto row = [](const char* name, Step step, int error, const char* text) {
            QTest::newRow(name) << static_cast<int>(step) << error << QString::fromUtf8(text);
        };
        row("full disk", Step::Write, ENOSPC, "Не удалось записать /d/grafimo.cfg: Нет места на диске");
        row("quota", Step::Write, EDQUOT, "Не удалось записать /d/grafimo.cfg: Нет места на диске");
        row("no access", Step::Create, EACCES, "Не удалось создать /d/grafimo.cfg: Нет доступа");
        row("missing file", Step::Read, ENOENT, "Не удалось прочитать /d/grafimo.cfg: Файл не найден");
        row("missing folder", Step::Create, ENOENT, "Не удалось создать /d/grafimo.cfg: Папка не найдена");
        row("read-only", Step::Replace, EROFS, "Не удалось заменить /d/grafimo.cfg: Диск доступен только для чтения");
        row("a directory", Step::Open, EISDIR, "Не удалось открыть /d/grafimo.cfg: Это папка, а не файл");
        row("a link of another user", Step::ForeignLink, EACCES,
            "/d/grafimo.cfg: Это ссылка, созданная другим пользователем; запись по ней не выполняется");
        row("permissions", Step::Permissions, EPERM, "Не удалось установить права доступа к /d/grafimo.cfg: Нет доступа");
    }
    void eachStepAndReasonIsWordedInRussian()
    {
        QFETCH(int, step);
        QFETCH(int, error);
        QFETCH(QString, text);
        QCOMPARE(faultText({static_cast<Step>(step), "/d/grafimo.cfg", error}), text);
    }

    void aRareErrorKeepsTheSystemsOwnText()
    {
        QCOMPARE(reasonText(EXDEV), QString::fromLocal8Bit(std::strerror(EXDEV)));
        QCOMPARE(faultText({}), QString());
    }
};

QTEST_GUILESS_MAIN(FaultTextTest)
#include "fault_text_test.moc"
