#include "ui/components/MarkdownView.hpp"

#include <QRegularExpression>
#include <QStringList>

namespace lumenrail::MarkdownView {

QString inlineOnly(const MarkdownText& text) {
  // Block openers at a line start: "#", ">", "-", "+", "* ", "1." / "1)",
  // fences and underlines.
  static const QRegularExpression blockStart(R"(`{3}|~{3}|[#>+\-=]|\*\s|\d+[.)])");
  QStringList lines = QString::fromStdString(text.source).split('\n');
  for (QString& line : lines) {
    // Leading blanks as no-break spaces: kept as written, never an indented code block.
    qsizetype lead = 0;
    while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
    line.replace(0, lead, QString(lead, QChar(0x00A0)));
    const auto m =
        blockStart.match(line, lead, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
    if (m.hasMatch()) {
      // The marker itself is escaped: the "." of "12.", else the first character.
      line.insert(m.captured(0).front().isDigit() ? m.capturedEnd(0) - 1 : lead, '\\');
    }
  }
  // A backslash at a line's end is a hard break: every break of the text stays.
  return lines.join("\\\n");
}

void show(QLabel& label, const MarkdownText& text) {
  label.setTextFormat(Qt::MarkdownText);
  label.setText(inlineOnly(text));
}

}  // namespace lumenrail::MarkdownView
