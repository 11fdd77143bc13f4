#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <google/protobuf/message.h>

namespace velbor {

class DispatchUdpSocket;
class LogRateLimiter;
class QoDevice;
class ZMQAddress;
class ZMQMessage;
class ZMQSocket;

namespace pb {
class MsgHead;
}  // namespace pb

// One message between devices: a MsgHead (code, level, sender uuid, wrapped key,
// signature) and a protobuf body, sealed at level 0 (plain), 1 (signed) or 2 (signed and
// AES-encrypted) and carried as ZeroMQ frames. The same object packs and unpacks the
// discovery datagram, whose whole payload is the body encrypted under the device token.
// A message is used by one thread at a time.
class QoMessage {
 public:
  using Ptr = std::shared_ptr<QoMessage>;
  using Bytes = std::string;
  using Body = std::shared_ptr<google::protobuf::Message>;
  // Received user info: the bytes of a trailing frame, or for a trust request the sender's
  // device record, which a trailing frame never replaces.
  using UserInfo = std::variant<std::monostate, Bytes, std::shared_ptr<QoDevice>>;
  // The device's RSA private key (PEM) that signs outgoing and unwraps incoming keys.
  using PrivateKeySource = std::function<Bytes()>;
  // Sees a received message with only its header read (code, level, claimed sender, body
  // type name) and raises to refuse it before the body is verified, decrypted or parsed.
  using HeaderCheck = std::function<void(const QoMessage& header)>;

  static constexpr int kLevelNone = 0;
  static constexpr int kLevelAuth = 1;
  static constexpr int kLevelEncrypt = 2;

  // Level 0, no user info, no identities, every other field empty.
  QoMessage();

  // Fills a message from received frames, header first (identity frames already removed);
  // the frames are consumed. Verifies and decrypts per the header's level and raises the
  // coded exceptions (10, 20, 21, 22); a header or body that does not parse raises the
  // schema's InvalidProtocolBuffer or UninitializedMessage unchanged. Without a key source
  // the device key of the installed EnvelopeKeys is used. A header check runs before any
  // of that.
  static Ptr initWithRecvZMQMessage(ZMQMessage& frames, PrivateKeySource privateKeySource = nullptr,
                                    const HeaderCheck& headerCheck = nullptr);
  // Receives one whole multipart message (blocking) and unpacks it as above. A message
  // beyond ZMQMessage's bounds on frames and bytes is drained and raises ZMQException
  // (EMSGSIZE) without being unpacked.
  static Ptr recvFromSocket(ZMQSocket& socket, PrivateKeySource privateKeySource = nullptr);
  // A reply to a request sent to the device whose uuid is `askedUuid`, unpacked as above but
  // taken only when that device signed it (level 1 or 2, its uuid in the header, its key
  // under the signature). A level-0 reply is taken only as an error reply (code 0), which
  // can do nothing but fail the request. Anything else raises QoExceptionZeUntrusted before
  // its body is opened: whoever holds the device's address can send it.
  static Ptr initWithReplyZMQMessage(ZMQMessage& frames, const std::string& askedUuid,
                                     PrivateKeySource privateKeySource = nullptr);
  static Ptr recvReplyFromSocket(ZMQSocket& socket, const std::string& askedUuid,
                                 PrivateKeySource privateKeySource = nullptr);

  static Ptr qoMessageWithMsgCode(int32_t code, Body body);
  // An error reply (code 0, level 0) whose MsgError carries `errorCode` and the finished
  // text `errorMsg`, taken literally. A code outside the wire's ErrorCode set becomes 1.
  static Ptr qoMessageErrorWithErrorCode(int32_t errorCode, const std::string& errorMsg);

  // Copies code, level, key and sign; looks the sender up by uuid; names the body type.
  void initWithReviceMsgHead(const pb::MsgHead& head);
  pb::MsgHead genSendMsgHead() const;

  void addIdentity(const std::string& identity);

  // Whether the code needs no trusted sender; a trust request also keeps its sender as
  // the user info.
  bool isExcludeMsgCode();
  // The plain body bytes of a received body at `level`, after the trust and signature
  // checks; nullopt without a body. The body's buffer is reused for them.
  std::optional<Bytes> decryptLevel(int level, std::optional<Bytes> bodyData);
  // Seals the body for `level`: sets key and sign (levels 1 and 2) and returns the body
  // bytes to send; nullopt without a body.
  std::optional<Bytes> encryptLevel(int level);

  // Identities each followed by an empty frame, the header, the body, the user info bytes.
  ZMQMessage getSendZMQMessage();
  bool sendToSocket(ZMQSocket& socket);

  // Discovery datagrams. Token and port are read from the installed EnvelopeKeys at each
  // call; the overloads that take them are what those delegate to.
  // Over a socket of type ZMQ_UDP: the datagram goes to the socket's last sender (or its
  // connected peer); receiving puts the sender's socket address bytes in the user info.
  void sendDiscoverToSocket(ZMQSocket& socket);
  void sendDiscoverToSocket(ZMQSocket& socket, const std::string& token);
  static Ptr recvDiscoverFromSocket(ZMQSocket& socket);
  static Ptr recvDiscoverFromSocket(ZMQSocket& socket, const std::string& token);
  void sendDiscoverToAsyncSocket(DispatchUdpSocket& socket, const std::string& address);
  void sendDiscoverToAsyncSocket(DispatchUdpSocket& socket, const std::string& address, const std::string& token,
                                 uint16_t port);
  // One datagram to each distinct broadcast address of the local IPv4 interfaces.
  void discoverBroadCastToAsyncSocket(DispatchUdpSocket& socket);
  void discoverBroadCastToAsyncSocket(DispatchUdpSocket& socket,
                                      const std::vector<std::shared_ptr<ZMQAddress>>& interfaces,
                                      const std::string& token, uint16_t port);
  // The datagram: the serialised body under the token's AES key.
  Bytes discoverDatagram(const std::string& token) const;
  // A Discover message (code 1, level 0) from a received datagram. Raises "QoEncrypt" when
  // the datagram was made under another token, or the schema's exceptions.
  static Ptr qoMessageWithRecvData(const Bytes& data);
  static Ptr qoMessageWithRecvData(const Bytes& data, const std::string& token);

  // The device private key of the installed EnvelopeKeys: the default key source.
  static Bytes configPrivateKey();

  // Any host can send messages that fail to open, and each failure is logged with its
  // details: at most this many lines per interval, so a peer cannot fill the disk.
  static constexpr size_t kOpenFailureLogLines = 10;
  static constexpr std::chrono::seconds kOpenFailureLogInterval{60};
  static LogRateLimiter& openFailureLog();

  const std::vector<Bytes>& identites() const { return identites_; }
  int32_t code() const { return code_; }
  void setCode(int32_t code) { code_ = code; }
  int32_t level() const { return level_; }
  void setLevel(int32_t level) { level_ = level; }
  const std::shared_ptr<QoDevice>& srcDevice() const { return srcDevice_; }
  void setSrcDevice(std::shared_ptr<QoDevice> device) { srcDevice_ = std::move(device); }
  const std::shared_ptr<QoDevice>& destDevice() const { return destDevice_; }
  void setDestDevice(std::shared_ptr<QoDevice> device) { destDevice_ = std::move(device); }
  const std::optional<Bytes>& key() const { return key_; }
  void setKey(std::optional<Bytes> key) { key_ = std::move(key); }
  const std::optional<Bytes>& sign() const { return sign_; }
  void setSign(std::optional<Bytes> sign) { sign_ = std::move(sign); }
  const Body& pbBody() const { return pbBody_; }
  void setPbBody(Body body) { pbBody_ = std::move(body); }
  template <class M>
  std::shared_ptr<M> pbBodyAs() const {
    return std::dynamic_pointer_cast<M>(pbBody_);
  }
  const UserInfo& userInfo() const { return userInfo_; }
  void setUserInfo(UserInfo userInfo) { userInfo_ = std::move(userInfo); }
  bool hasUserInfo() const { return !std::holds_alternative<std::monostate>(userInfo_); }
  // The user info's bytes or device; nullptr when it holds the other kind or nothing.
  const Bytes* userInfoData() const { return std::get_if<Bytes>(&userInfo_); }
  std::shared_ptr<QoDevice> userInfoDevice() const;
  const std::optional<std::string>& msgName() const { return msgName_; }
  void setMsgName(std::optional<std::string> name) { msgName_ = std::move(name); }
  void setPrivateKeySource(PrivateKeySource source) { privateKeySource_ = std::move(source); }

 private:
  Bytes privateKey() const;
  // msgName as it appears in failure reasons.
  std::string nameText() const;
  std::optional<Bytes> openLevel(int level, std::optional<Bytes> bodyData);

  std::vector<Bytes> identites_;
  int32_t code_ = 0;
  int32_t level_ = kLevelNone;
  std::shared_ptr<QoDevice> srcDevice_;
  std::shared_ptr<QoDevice> destDevice_;
  std::optional<Bytes> key_;
  std::optional<Bytes> sign_;
  Body pbBody_;
  UserInfo userInfo_;
  std::optional<std::string> msgName_;
  PrivateKeySource privateKeySource_;
};

}  // namespace velbor
