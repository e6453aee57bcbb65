// pvgen-run's HTML timeline drawn by a real browser. A test program of its own, run alone
// (the browser takes both cores for a few seconds).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef PVGEN_HAVE_PNG
#include <png.h>
#endif

#include "support/tool_process.h"

namespace {

using namespace tool_process;

// The page carries its data and code (nothing to fetch), and a real browser draws it: the
// page reports the lanes it drew and the slices it drew in them, and the screenshot shows
// the engine's and the submitter's slices in their colours.
TEST(TimelineExport, HtmlPageIsSelfContainedAndDrawnByABrowser) {
  if (shell("command -v chromium").first != 0) {
    GTEST_SKIP() << "chromium is not installed (Debian package chromium; scripts/install-deps "
                    "default installs it)";
  }
  const std::string page = temp_path("t.html"), shot = temp_path("t.png");
  const auto [status, out] = shell(
      command_prefix() + " --pages 2 --bands 20 --band-time 200us --quiet --timeline " + page);
  ASSERT_EQ(status, 0) << out;
  const std::string html = read_file(page);
  for (const char* outside : {"http:", "https:", "src=", "href=", "@import", "url("}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  const std::string chromium =
      "timeout 60 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
      "--window-size=1200,400 ";
  const auto [dom_status, dom] = shell(chromium + "--dump-dom file://" + page + " 2>/dev/null");
  ASSERT_EQ(dom_status, 0);
  const size_t at = dom.find("<div id=\"summary\"");
  ASSERT_NE(at, std::string::npos) << dom.substr(0, 400);
  const std::string summary = dom.substr(at, dom.find("</div>", at) - at);
  EXPECT_NE(summary.find("data-lanes=\"4\""), std::string::npos) << summary;
  EXPECT_NE(summary.find("data-drawn-lanes=\"4\""), std::string::npos) << summary;
  EXPECT_NE(summary.find("quorl_pvgen_ctrl|quorl_pvgen_ch|engine"), std::string::npos) << summary;
  int drawn = 0;
  ASSERT_EQ(std::sscanf(summary.c_str() + summary.find("data-drawn=\"") + 12, "%d", &drawn), 1);
  EXPECT_GE(drawn, 40 + 40);  // at least every engine band and every submission

#ifndef PVGEN_HAVE_PNG
  GTEST_SKIP() << "no libpng to read the screenshot (Debian package libpng-dev)";
#else
  ASSERT_EQ(shell(chromium + "--screenshot=" + shot + " file://" + page + " 2>/dev/null").first, 0);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, shot.c_str()), 0) << shot;
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0);
  std::map<unsigned, size_t> colours;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    ++colours[(pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]];
  }
  EXPECT_GT(colours.size(), 10u);  // not a blank page
  EXPECT_GT(colours[0x59a14f], 200u) << "engine slices";
  EXPECT_GT(colours[0x4e79a7], 200u) << "submissions";
  std::remove(shot.c_str());
#endif
  std::remove(page.c_str());
}

// One of the page's elements, by id, as the browser left it after drawing at `width`.
std::string drawn_element(const std::string& dom, const std::string& id) {
  const size_t at = dom.find("<div id=\"" + id + "\"");
  return at == std::string::npos ? "" : dom.substr(at, dom.find("</div>", at) - at);
}

std::string attribute(const std::string& element, const std::string& name) {
  const std::string key = name + "=\"";
  const size_t at = element.find(key);
  if (at == std::string::npos) {
    return "";
  }
  const size_t from = at + key.size();
  return element.substr(from, element.find('"', from) - from);
}

// Many short pages at the width of a small window: the legend names every colour and mark,
// no two page labels drawn overlap (they are stacked, or left out), and the flow lines are
// thinned to what the width can show.
TEST(TimelineExport, ManyPagesKeepALegendAndLabelsThatDoNotOverlap) {
  if (shell("command -v chromium").first != 0) {
    GTEST_SKIP() << "chromium is not installed (scripts/install-deps default installs it)";
  }
  const std::string page = temp_path("many.html");
  const auto [status, out] = shell(
      command_prefix() + " --pages 20 --bands 10 --band-time 100us --quiet --timeline " + page);
  ASSERT_EQ(status, 0) << out;
  const auto [dom_status, dom] = shell(
      "timeout 60 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
      "--window-size=800,400 --dump-dom file://" +
      page + " 2>/dev/null");
  ASSERT_EQ(dom_status, 0);
  const std::string summary = drawn_element(dom, "summary");
  ASSERT_FALSE(summary.empty()) << dom.substr(0, 400);
  const std::string legend_html = drawn_element(dom, "legend");
  for (const char* cat :
       {"submit", "command", "wait", "callback", "engine", "page", "stop", "report", "flow"}) {
    EXPECT_NE(legend_html.find(std::string("data-cat=\"") + cat + "\""), std::string::npos)
        << cat << " in " << legend_html;
  }

  // Every label box: left, top, right, bottom.
  struct Box {
    double l, t, r, b;
  };
  std::vector<Box> boxes;
  std::stringstream list(attribute(summary, "data-label-boxes"));
  for (std::string item; std::getline(list, item, ';');) {
    Box b{};
    ASSERT_EQ(std::sscanf(item.c_str(), "%lf,%lf,%lf,%lf", &b.l, &b.t, &b.r, &b.b), 4) << item;
    boxes.push_back(b);
  }
  const int hidden = std::stoi("0" + attribute(summary, "data-labels-hidden"));
  // 20 page starts and 20 page ends: each drawn or counted as left out. How many fit depends
  // on how the pages fell in time; a page's end and the next one's start always fall
  // together, so labels are drawn in more than one row.
  EXPECT_EQ(boxes.size() + static_cast<size_t>(hidden), 40u) << summary;
  EXPECT_GE(boxes.size(), 3u) << summary;
  std::set<double> rows;
  for (const Box& b : boxes) {
    rows.insert(b.t);
  }
  EXPECT_GE(rows.size(), 2u) << summary;
  for (size_t i = 0; i < boxes.size(); ++i) {
    for (size_t j = i + 1; j < boxes.size(); ++j) {
      const Box& a = boxes[i];
      const Box& b = boxes[j];
      EXPECT_FALSE(a.l < b.r && b.l < a.r && a.t < b.b && b.t < a.b)
          << "labels " << i << " and " << j << " overlap: " << summary;
    }
  }
  // 200 bands on a plot of 630 pixels: at most one flow per 6 pixels.
  const int flows = std::stoi("0" + attribute(summary, "data-flows-drawn"));
  EXPECT_GT(flows, 0);
  EXPECT_LE(flows, 630 / 6) << summary;
  std::remove(page.c_str());
}

}  // namespace
