// Over a real TLS connection on loopback: a server that redirects from
// https to plain http is refused at once, for good, with nothing sent to
// the http address; the same server's own https answers come through; the
// services of one hub share its connections through its event loop, and
// a thread that lags behind its download loses nothing and gets every
// byte in order, whichever thread wrote it. The certificate is made for the test and
// trusted through SSL_CERT_FILE, as a user trusts a company's own
// authority. (Linux: the test server is cpp-httplib's TLS server.)

#ifndef _WIN32

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/downloads_at_once.h"
#include "support/http_server.h"
#include "support/scoped_env.h"
#include "support/slow_writer.h"
#include "support/temp_dir.h"
#include "transfer/download_service.h"
#include "transfer/transfer_callback.h"

namespace brenvik {
namespace {

// A self-signed certificate for 127.0.0.1 and its key, as PEM text.
struct Certificate {
  std::string certificate;
  std::string key;
};

std::string PemOf(const std::function<int(BIO*)>& write) {
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || write(bio.get()) != 1) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

void AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

Certificate MakeCertificate() {
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
  if (!key || !certificate) return {};
  X509* cert = certificate.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  AddExtension(cert, NID_subject_alt_name, "IP:127.0.0.1");
  AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
  if (X509_sign(cert, key.get(), EVP_sha256()) == 0) return {};
  return {PemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, cert); }), PemOf([&](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
          })};
}

class HttpsTransferTest : public ::testing::Test {
 protected:
  HttpsTransferTest() {
    const Certificate made = MakeCertificate();
    certificate_file_ = temp_.Write("tls/cert.pem", made.certificate).string();
    key_file_ = temp_.Write("tls/key.pem", made.key).string();
    https_ = std::make_unique<httplib::SSLServer>(certificate_file_.c_str(), key_file_.c_str());
    https_->Get("/secure.bin", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("over tls", "application/octet-stream");
    });
    https_->Get("/big.bin", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(ports_mutex_);
        ports_.insert(request.remote_port);
      }
      response.set_content(test::RandomBytes(kBigSize, 9), "application/octet-stream");
    });
    https_->Get("/down.bin", [this](const httplib::Request&, httplib::Response& response) {
      ++downgrade_requests_;
      response.status = 302;
      response.set_header("Location", plain_.Url() + "down.bin");
    });
    port_ = https_->bind_to_any_port("127.0.0.1");
    // Bound already: a connection made before the listener runs waits for it.
    listener_ = std::thread([this] { https_->listen_after_bind(); });
    plain_.Serve("down.bin", "sent in the clear");
    service_.SetStallTimeout(std::chrono::seconds(10));
  }
  ~HttpsTransferTest() override {
    https_->stop();
    listener_.join();
  }

  std::string SecureUrl(const std::string& name) const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }
  DownloadResult Get(const std::string& name) {
    const DownloadTarget target{
        .folder = temp_.path(), .name = name, .partial_name = name + ".~part"};
    return service_.Download(SecureUrl(name), target, callback_);
  }

  test::TempDir temp_;
  std::string certificate_file_;
  std::string key_file_;
  std::unique_ptr<httplib::SSLServer> https_;
  int port_ = 0;
  std::thread listener_;
  static constexpr uint64_t kBigSize = 5'000'000;
  std::mutex ports_mutex_;
  std::set<int> ports_;  // the client's end of each connection that asked for big.bin
  std::atomic<int> downgrade_requests_{0};
  test::HttpServer plain_;
  std::atomic<bool> abort_{false};
  TransferCallback callback_{abort_};
  DownloadService service_;
};

TEST_F(HttpsTransferTest, ADowngradeToHttpIsRefusedAtOnceAndForGood) {
  ASSERT_GT(port_, 0);
  const test::ScopedEnv trust("SSL_CERT_FILE", certificate_file_.c_str());
  // The connection itself is sound: the server's own answers come through.
  const DownloadResult secure = Get("secure.bin");
  ASSERT_TRUE(secure.Ok()) << secure.reason;
  EXPECT_EQ(temp_.Read("secure.bin"), "over tls");

  const DownloadResult result = Get("down.bin");
  EXPECT_EQ(result.outcome, DownloadOutcome::kServerFailure);
  EXPECT_TRUE(result.permanent);
  EXPECT_NE(result.reason.find("from https to the unprotected address"), std::string::npos)
      << result.reason;
  EXPECT_EQ(downgrade_requests_.load(), 1);
  EXPECT_EQ(plain_.Requests("down.bin"), 0);
  EXPECT_FALSE(std::filesystem::exists(temp_.path() / "down.bin"));
}

TEST_F(HttpsTransferTest, AnUntrustedCertificateIsPermanentAndNamed) {
  ASSERT_GT(port_, 0);
  const test::ScopedEnv no_trust("SSL_CERT_FILE", nullptr);
  const DownloadResult result = Get("secure.bin");
  EXPECT_EQ(result.outcome, DownloadOutcome::kServerFailure);
  EXPECT_TRUE(result.permanent) << result.reason;
  EXPECT_FALSE(std::filesystem::exists(temp_.path() / "secure.bin"));
}

// Shows progress slowly. While it does, the thread that owns the download
// is at its body, so the hub's loop keeps the bytes that come meanwhile in
// the inbox (pausing the transfer once that is full) instead of writing
// them itself, and writes them itself again once the inbox was emptied.
class SlowSink final : public ProgressSink {
 public:
  void ShowFileProgress(uint32_t) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
};

TEST_F(HttpsTransferTest, ServicesOnOneHubShareItsConnectionsAndSlowOwnersLoseNothing) {
  ASSERT_GT(port_, 0);
  const test::ScopedEnv trust("SSL_CERT_FILE", certificate_file_.c_str());
  constexpr int kFiles = 4;
  ConnectionHub hub(2);
  std::vector<test::SlowWriter> writers(kFiles, test::SlowWriter(std::chrono::milliseconds(0)));
  std::vector<SlowSink> sinks(kFiles);
  const std::vector<DownloadResult> results = test::DownloadsAtOnce(
      hub, kFiles, abort_, [&](DownloadService& service, TransferCallback& callback, int i) {
        const std::string name = "f" + std::to_string(i);
        const DownloadTarget target{.folder = temp_.path(),
                                    .name = name,
                                    .partial_name = name + ".~part",
                                    .expected_size = kBigSize,
                                    .written = &writers[static_cast<size_t>(i)]};
        callback.Attach(&sinks[static_cast<size_t>(i)]);
        return service.Download(SecureUrl("big.bin"), target, callback);
      });
  for (int i = 0; i < kFiles; ++i) {
    const auto at = static_cast<size_t>(i);
    ASSERT_TRUE(results[at].Ok()) << results[at].reason;
    EXPECT_EQ(temp_.Read("f" + std::to_string(i)), test::RandomBytes(kBigSize, 9));
    EXPECT_EQ(writers[at].added, kBigSize);
  }
  // Four downloads, two connections: the others waited for one and reused it.
  std::lock_guard lock(ports_mutex_);
  EXPECT_LE(ports_.size(), 2u);
}

}  // namespace
}  // namespace brenvik

#endif  // _WIN32
