// The live view's server over real sockets: whom it answers, what it streams while a real frame
// renders, and the command line a dragged region gives.
#include "render/progress_estimate.h"
#include "support/scene_fixture.h"
#include "view/view_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace {

using orn::view::LiveView;
using orn::view::ViewServer;

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until `until` has come (or, when empty, until the server closes); gives up after a minute
// of silence so that a broken server fails the test instead of hanging it.
const std::string& read_until(int fd, std::string& got, const std::string& until) {
    char buf[4096];
    while (until.empty() || got.find(until) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::string get(int port, const std::string& path, const std::string& host) {
    const int fd = connect_to(port);
    if (fd < 0) return "no connection";
    const std::string req = "GET " + path + " HTTP/1.1\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n") +
                            "Connection: close\r\n\r\n";
    std::string got;
    if (write(fd, req.data(), req.size()) == ssize_t(req.size())) read_until(fd, got, "");
    close(fd);
    return got;
}

// An event stream left open: the connection, and what came so far.
struct Stream {
    Stream(int port) : fd(connect_to(port)) {
        const std::string req =
            "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        EXPECT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
    }
    ~Stream() { close(fd); }
    const std::string& until(const std::string& text) { return read_until(fd, got, text); }
    int fd;
    std::string got;
};

TEST(View, AnswersOnlyRequestsForItsOwnAddress) {
    LiveView view;
    ViewServer server(view);
    ASSERT_FALSE(server.start(0));
    const std::string own = "127.0.0.1:" + std::to_string(server.port());
    EXPECT_EQ(server.address(), "http://" + own + "/");
    EXPECT_EQ(get(server.port(), "/info", own).rfind("HTTP/1.1 200", 0), 0u);
    // The page whole, with the length its head announces (a browser reads no more than that).
    const std::string page = get(server.port(), "/", "localhost:" + std::to_string(server.port()));
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u);
    const size_t body = page.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(page.find("Content-Length: " + std::to_string(page.size() - body - 4) + "\r\n"),
              std::string::npos);
    EXPECT_NE(page.find("<!DOCTYPE html>", body), std::string::npos);
    // A name of someone else's that resolves to this machine, another port, or no Host at all.
    for (const std::string& host : {"evil.example:" + std::to_string(server.port()),
                                    std::string("127.0.0.1:1"), std::string("127.0.0.1"), std::string()}) {
        const std::string answer = get(server.port(), "/info", host);
        EXPECT_EQ(answer.rfind("HTTP/1.1 403", 0), 0u) << host << "\n" << answer;
        EXPECT_NE(answer.find("answers requests for " + own + " only"), std::string::npos) << answer;
    }
    // Nothing of the file system is served.
    EXPECT_EQ(get(server.port(), "/../../etc/passwd", own).rfind("HTTP/1.1 404", 0), 0u);

    // A second view on the same port is refused, not given half of the connections.
    LiveView other_view;
    ViewServer other(other_view);
    const auto error = other.start(server.port());
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("cannot serve the view on " + own + ": the port is in use"), std::string::npos)
        << *error;
    EXPECT_EQ(get(server.port(), "/info", own).rfind("HTTP/1.1 200", 0), 0u);
}

// Holds the render in its first bucket until the test lets it go, so that what the client sees
// before the frame ends is known.
class Gate final : public orn::FrameWatch {
  public:
    explicit Gate(LiveView& view) : view_(view) {}
    void frame_started(const orn::WatchedFrame& f) override { view_.frame_started(f); }
    void bucket_done(int x0, int y0, int x1, int y1, const float* pixels) override {
        view_.bucket_done(x0, y0, x1, y1, pixels);
        std::unique_lock<std::mutex> lock(mutex_);
        open_cv_.wait(lock, [this] { return open_; });
    }
    void frame_finished(const std::vector<const float*>& pixels, bool interrupted) override {
        view_.frame_finished(pixels, interrupted);
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        open_cv_.notify_all();
    }

  private:
    LiveView& view_;
    std::mutex mutex_;
    std::condition_variable open_cv_;
    bool open_ = false;
};

// A constant colour of powers of two over the whole 64 x 32 frame: two buckets of 32.
const char* kQuad =
    "camera \"cam\" focal 1 aperture 1 aspect 2 resolution 64 32 end camera\n"
    "instance \"cam_i\" \"cam\" transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 -5 1 end instance\n"
    "material \"m\" \"orn_constant\" (\"color\" 0.25 0.5 1 1) end material\n"
    "object \"quad\" visible group\n  -9 -9 0  9 -9 0  9 9 0  -9 9 0\n  v 0 v 1 v 2 v 3\n  p 0 1 2 3\n"
    "end group end object\ninstance \"quad_i\" \"quad\" material \"m\" end instance\n"
    "instgroup \"root\" \"cam_i\" \"quad_i\" end instgroup\nrender \"root\" \"cam_i\" \"opt\"\n";

TEST(View, StreamsBucketsBeforeTheFrameEnds) {
    // The three ways a bucket's pixels come: from its tile's weights (a filter wider than a
    // pixel), from its tile's sums (a box of one pixel), straight from the film (one sample).
    const std::string samplings[] = {"samples 0 1 filter gauss 2 2", "samples 0 1 filter box 1 1",
                                     "samples 0 0 filter box 1 1"};
    for (const std::string& sampling : samplings) {
        SCOPED_TRACE(sampling);
        LiveView view;
        ViewServer server(view);
        ASSERT_FALSE(server.start(0));
        const int port = server.port();
        const std::string own = "127.0.0.1:" + std::to_string(port);
        Gate gate(view);
        orn::SessionOptions options;
        options.render.threads = 1;
        options.render.progress = false;
        options.render.watch = &gate;
        orn::Session session(options);
        ASSERT_TRUE(session.load_string(orn::test::module_preamble() + "options \"opt\" " + sampling +
                                        " end options\n" + kQuad));
        std::thread render([&session] { EXPECT_TRUE(session.render_all()); });

        Stream stream(port);
        stream.until("event: buckets");
        EXPECT_NE(stream.got.find("\"width\":64,\"height\":32,\"buckets\":2"), std::string::npos)
            << stream.got;
        // Of the frame's one block of buckets, the one nearer its middle comes first.
        EXPECT_NE(stream.got.find("{\"rects\":[[32,0,64,32]],\"done\":1,\"total\":2"), std::string::npos)
            << stream.got;
        EXPECT_EQ(stream.got.find("event: finished"), std::string::npos);
        // The bucket's pixels are there already; the layers are the film's planes, beauty first.
        std::string pixel = get(port, "/pixel?g=1&x=37&y=7", own);
        EXPECT_NE(pixel.find("{\"x\":37,\"y\":7,\"values\":[[0.25,0.5,1,1],"), std::string::npos) << pixel;
        EXPECT_NE(get(port, "/pixel?g=1&x=5&y=7", own).find("\"values\":[[0,0,0,0],"), std::string::npos);
        EXPECT_NE(get(port, "/info", own)
                      .find("\"layers\":[{\"name\":\"Color\",\"components\":4,\"label\":false},"),
                  std::string::npos);

        // More clients than the view takes; then they go away mid-stream, and the render goes on.
        if (&sampling == samplings) {
            std::vector<std::unique_ptr<Stream>> more;
            for (int i = 1; i < ViewServer::kMaxStreams; ++i)
                more.push_back(std::make_unique<Stream>(port));
            for (auto& s : more)
                s->until("event: buckets");
            {
                Stream refused(port);
                refused.until("reload");
                EXPECT_EQ(refused.got.rfind("HTTP/1.1 503", 0), 0u) << refused.got;
                EXPECT_NE(refused.got.find("has 4 live views open already; close one and reload"),
                          std::string::npos);
            }
            more.clear();
        }

        gate.open();
        render.join();
        stream.until("event: finished");
        EXPECT_NE(stream.got.find("\"done\":2,\"total\":2"), std::string::npos) << stream.got;
        EXPECT_NE(stream.got.find("{\"interrupted\":false"), std::string::npos) << stream.got;
        pixel = get(port, "/pixel?g=1&x=63&y=31", own);
        EXPECT_NE(pixel.find("\"values\":[[0.25,0.5,1,1],"), std::string::npos) << pixel;
        server.stop();
    }
}

TEST(View, SlowClientsAndRangesNeitherStarveNorSwellIt) {
    LiveView view;
    ViewServer server(view);
    ASSERT_FALSE(server.start(0));
    const int port = server.port();
    const std::string own = "127.0.0.1:" + std::to_string(port);
    // A 512 x 256 frame of one RGBA layer: 2 MB of pixels, more than one slice of an answer.
    orn::WatchedFrame f;
    f.width = 512;
    f.height = 256;
    f.buckets = 1;
    f.pixel_size = 4;
    f.window = {0, 0, 512, 256};
    f.layers = {{"Color", 0, 4, false}};
    view.frame_started(f);
    std::vector<float> pixels(512 * 256 * 4);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = float(i);
    view.bucket_done(0, 0, 512, 256, pixels.data());
    const std::string whole = "/pixels?g=1&layer=0&x0=0&y0=0&x1=512&y1=256";

    // More slow clients than the server holds connections, each sending a byte of its head every
    // half second for as long as the test runs, and clients that ask for the whole layer and read
    // nothing: a viewer is still answered, in full.
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i)
        slow.push_back(connect_to(port));
    for (int i = 0; i < 8; ++i) {
        const int fd = connect_to(port);
        const std::string req = "GET " + whole + " HTTP/1.1\r\nHost: " + own + "\r\n\r\n";
        EXPECT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
        slow.push_back(fd);
    }
    std::atomic<bool> served{false};
    std::thread trickle([&] {
        while (!served)
            for (int i = 0; i < 300 && !served; ++i) {
                (void)send(slow[size_t(i)], "G", 1, MSG_NOSIGNAL);
                if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
    });
    EXPECT_EQ(get(port, "/info", own).rfind("HTTP/1.1 200", 0), 0u);
    const std::string answer = get(port, whole, own);
    served = true;
    trickle.join();
    for (int fd : slow)
        close(fd);
    ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Content-Length: 2097152\r\n"), std::string::npos) << answer.substr(0, 400);
    const std::size_t body = answer.find("\r\n\r\n") + 4;
    ASSERT_EQ(answer.size() - body, pixels.size() * sizeof(float));
    EXPECT_EQ(std::memcmp(answer.data() + body, pixels.data(), pixels.size() * sizeof(float)), 0);

    // Byte ranges are refused: 300 of them in one request once made an answer of hundreds of MB.
    std::string ranges = "bytes=0-0";
    for (int i = 1; i < 300; ++i)
        ranges += "," + std::to_string(i * 7000) + "-" + std::to_string(i * 7000 + 1);
    const int fd = connect_to(port);
    const std::string req = "GET " + whole + " HTTP/1.1\r\nHost: " + own + "\r\nRange: " + ranges +
                            "\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
    std::string refused;
    read_until(fd, refused, "");
    close(fd);
    EXPECT_EQ(refused.rfind("HTTP/1.1 416", 0), 0u) << refused.substr(0, 200);
    EXPECT_NE(refused.find("answers no Range requests"), std::string::npos) << refused;
    EXPECT_LT(refused.size(), 2000u);
    server.stop();
}

// "--view" takes the number after it as its port, and nothing else; dragging a rectangle gives
// the command line with that --region in place of any before.
TEST(View, CommandLines) {
    const char* with_scene[] = {"ornrender", "--view", "9800.mi", "--view", "0", "-t", "2"};
    EXPECT_EQ(orn::view::with_view_port(7, const_cast<char**>(with_scene)),
              (std::vector<std::string>{"ornrender", "--view=9800", "9800.mi", "--view=0", "-t", "2"}));
    EXPECT_EQ(orn::view::command_without_region(
                  {"ornrender", "--region", "1", "2", "3", "4", "--view", "9800", "my scene.mi", "it's.mi"}),
              (std::vector<std::string>{"ornrender", "--view", "9800", "'my scene.mi'", "'it'\\''s.mi'"}));
}

} // namespace

namespace {

// A frame of 24 x 16 buckets rendered one after another in the estimate's order, each taking the
// time `cost` gives it; at half the work done and at half the time spent, the estimate of the time
// left must be within 25% of the time really left.
void check_estimate(const char* what, double (*cost)(int x, int y)) {
    const int columns = 24, rows = 16;
    std::vector<orn::ProgressEstimate::Item> items;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x)
            items.push_back({x, y, 1024.0});
    orn::ProgressEstimate estimate(items);
    const std::vector<int> order = estimate.order();
    ASSERT_EQ(order.size(), items.size());
    double total = 0.0;
    for (const auto& it : items)
        total += cost(it.x, it.y);
    double elapsed = 0.0;
    bool checked_time = false;
    for (size_t k = 0; k < order.size(); ++k) {
        const auto& it = items[size_t(order[k])];
        const double c = cost(it.x, it.y);
        // Half the time passes inside this bucket: the estimate stands as of the last one.
        if (!checked_time && elapsed + c >= 0.5 * total) {
            const auto e = estimate.estimate(elapsed);
            ASSERT_TRUE(e.seconds_left) << what;
            EXPECT_NEAR(*e.seconds_left, total - elapsed, 0.25 * (total - elapsed))
                << what << " at half the time";
            checked_time = true;
        }
        elapsed += c;
        estimate.done(order[k], c);
        if (k + 1 == order.size() / 2) {
            const auto e = estimate.estimate(elapsed);
            ASSERT_TRUE(e.seconds_left) << what;
            EXPECT_NEAR(*e.seconds_left, total - elapsed, 0.25 * (total - elapsed))
                << what << " at half the buckets";
            EXPECT_NEAR(e.share, elapsed / total, 0.25 * elapsed / total) << what;
        }
    }
    const auto end = estimate.estimate(elapsed);
    EXPECT_EQ(end.share, 1.0);
    EXPECT_EQ(end.seconds_left, 0.0);
}

TEST(Progress, TheTimeLeftFollowsTheCostOfTheWorkDone) {
    // The top half ten times as costly as the bottom: counting buckets in order would say, at half
    // of them, that as much time is left as went by, ten times the truth.
    check_estimate("top half", [](int, int y) { return y >= 8 ? 10.0 : 1.0; });
    // A costly disc off the centre (glass), in cells that are partly cheap.
    check_estimate("disc",
                   [](int x, int y) { return (x - 15) * (x - 15) + (y - 9) * (y - 9) < 30 ? 10.0 : 1.0; });
    // Cost that grows across the frame.
    check_estimate("ramp", [](int x, int) { return 1.0 + 9.0 * x / 23.0; });

    // Buckets without pixels (outside a region) cost nothing and take no time in the estimate; the
    // order starts with one bucket with pixels of every cell.
    std::vector<orn::ProgressEstimate::Item> items;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            items.push_back({x, y, x < 4 ? 100.0 : 0.0});
    orn::ProgressEstimate region(items);
    const std::vector<int> order = region.order();
    ASSERT_EQ(order.size(), 64u);
    EXPECT_EQ(order[0], 1 * 8 + 1); // cell (0, 0): nearest its middle
    EXPECT_EQ(order[1], 5 * 8 + 1); // cell (0, 1)
    EXPECT_EQ(order[2], 0);         // then all others in their own order
    EXPECT_FALSE(region.estimate(1.0).seconds_left);
    region.done(order[0], 2.0);
    region.done(order[1], 2.0);
    // 30 buckets with pixels left at 2 s each, measured at 4 s for the 2 done.
    const auto e = region.estimate(4.0);
    ASSERT_TRUE(e.seconds_left);
    EXPECT_DOUBLE_EQ(*e.seconds_left, 60.0);
    EXPECT_DOUBLE_EQ(e.share, 4.0 / 64.0);
}

} // namespace
