// Draws the app's own images (logo_white.png, addtofav.png, addedtofav.png) into the current
// directory. Run once by hand when the artwork changes; the PNGs are committed beside this file.
//   g++ -std=c++20 -fPIC draw_images.cc $(pkg-config --cflags --libs Qt6Gui) -o draw_images
//   QT_QPA_PLATFORM=offscreen ./draw_images
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

QPainterPath heart(const QRectF& r) {
  QPainterPath p;
  const double w = r.width(), h = r.height(), x = r.x(), y = r.y();
  p.moveTo(x + w / 2, y + h * 0.92);
  p.cubicTo(x - w * 0.05, y + h * 0.55, x + w * 0.05, y + h * 0.02, x + w / 2, y + h * 0.28);
  p.cubicTo(x + w * 0.95, y + h * 0.02, x + w * 1.05, y + h * 0.55, x + w / 2, y + h * 0.92);
  return p;
}

void drawLogo() {
  QImage img(360, 88, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  // A leaf over a still pool: two arcs and a circle.
  QPainterPath leaf;
  leaf.moveTo(44, 14);
  leaf.cubicTo(78, 26, 76, 62, 44, 74);
  leaf.cubicTo(12, 62, 10, 26, 44, 14);
  p.drawPath(leaf);
  p.setBrush(QColor(51, 184, 148));
  p.drawRect(QRectF(42.5, 24, 3, 46));
  p.setBrush(Qt::white);
  QFont f(QStringLiteral("DejaVu Sans"), 40, QFont::Bold);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(92, 0, 268, 88), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Stillnook"));
  p.end();
  img.save(QStringLiteral("logo_white.png"));
}

void drawHeart(bool filled, const QString& file) {
  QImage img(128, 128, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QPen pen(Qt::white, 8);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(filled ? QBrush(Qt::white) : QBrush(Qt::NoBrush));
  p.drawPath(heart(QRectF(16, 14, 96, 100)));
  if (!filled) {
    // The plus says "add"; the filled heart says "added".
    p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(64, 44), QPointF(64, 84));
    p.drawLine(QPointF(44, 64), QPointF(84, 64));
  }
  p.end();
  img.save(file);
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  drawLogo();
  drawHeart(false, QStringLiteral("addtofav.png"));
  drawHeart(true, QStringLiteral("addedtofav.png"));
  return 0;
}
