#include "app/entry/command_line.h"

#include "update/updater.h"

namespace CommandLine {

QString usage() {
    return QStringLiteral(
        "Kullanım: kestrava [--show | --hidden]\n"
        "         kestrava --headless [--login E-POSTA] [--connect [SUNUCU]] [--disconnect] [--update] [--watch]\n"
        "         kestrava --help | --version\n"
        "\n"
        "Sistem tepsisinde duran VPN istemcisi. Simgeye tıklayınca açılan pencerede oturum açılır,\n"
        "sunucu seçilir ve IKEv2 tüneli açılıp kapatılır.\n"
        "\n"
        "Seçenekler:\n"
        "  --show              açılışta pencereyi aç\n"
        "  --hidden            yalnızca tepsi simgesiyle başla (oturum açılışında kullanılır)\n"
        "  --headless          pencere olmadan çalış; durumu standart çıktıya JSON satırları olarak yaz\n"
        "  --login E-POSTA     (--headless ile) oturum aç; şifre standart girdinin ilk satırından okunur\n"
        "  --connect [SUNUCU]  (--headless ile) bağlan; sunucu kimliği verilmezse seçili sunucuya\n"
        "  --disconnect        (--headless ile) bağlantıyı kes\n"
        "  --update            (--headless ile) sunulan güncellemeyi kur\n"
        "  --watch             (--headless ile) SIGINT veya SIGTERM gelene kadar değişiklikleri yazmaya devam et\n"
        "  --help              bu yardımı yaz ve çık\n"
        "  --version           sürümü yaz ve çık\n"
        "\n"
        "Ölçüm seçenekleri (kıyaslamalar için):\n"
        "  --quit-after-first-frame   ilk kare çizilince çık\n"
        "  --measure-tray SANİYE      tepsi simgesini bu kadar süre ölç\n"
        "  --measure-cycles SAYI      pencereyi bu kadar kez açıp kapat\n"
        "\n"
        "Çıkış kodları: 0 başarılı, 1 istenen işlem başarısız oldu, 2 hatalı kullanım.\n");
}

QString versionLine() { return QStringLiteral("Kestrava ") + Updater::currentVersion(); }

Early early(const QStringList& args) {
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--help") || args.at(i) == QLatin1String("-h")) return Early::help;
        if (args.at(i) == QLatin1String("--version")) return Early::version;
    }
    return Early::run;
}

std::optional<QString> unknownIn(const QStringList& args, bool headless) {
    if (headless) return std::nullopt; // the headless parser knows its own options and their values
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--show") || a == QLatin1String("--hidden") ||
            a == QLatin1String("--quit-after-first-frame"))
            continue;
        if (a == QLatin1String("--measure-tray") || a == QLatin1String("--measure-cycles")) {
            ++i;
            continue;
        }
        if (a.startsWith(QLatin1String("--"))) return QStringLiteral("Bilinmeyen seçenek: %1").arg(a);
        // Qt's own (-platform xcb, -style fusion, -reverse): its value, if any, goes with it.
        if (a.startsWith(u'-')) {
            if (i + 1 < args.size() && !args.at(i + 1).startsWith(u'-')) ++i;
            continue;
        }
        return QStringLiteral("Bilinmeyen bağımsız değişken: %1").arg(a);
    }
    return std::nullopt;
}

} // namespace CommandLine
