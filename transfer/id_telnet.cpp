#include "transfer/id_telnet.h"

#include <exception>

#include "platform/exception.h"
#include "transfer/errors.h"

namespace tapir::transfer {

TIdTelnet::TIdTelnet(Dispatcher dispatcher) : dispatcher_(std::move(dispatcher)) {
    connection_.OnStatus = [this](ConnectionStatus kind, const std::string& text) {
        if (OnStatus) {
            OnStatus(kind, text);
        }
    };
    connection_.OnConnected = [this] {
        if (OnConnected) {
            OnConnected();
        }
    };
}

TIdTelnet::~TIdTelnet() {
    if (reader_.joinable()) {
        stop_.request_stop();
        connection_.Shutdown();
        reader_.join();
    }
}

void TIdTelnet::Connect() {
    if (connection_.Connected()) {
        throw EIdAlreadyConnected();
    }
    if (reader_.joinable()) {
        if (reader_running_) {
            stop_.request_stop();
            connection_.Shutdown();
            const auto deadline = std::chrono::steady_clock::now() + kReaderStopWait;
            while (reader_running_ && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (reader_running_) {
                throw EIdAlreadyConnected();
            }
        }
        reader_.join();  // it has ended, so this returns at once
    }
    {
        std::lock_guard lock(end_mutex_);
        reader_end_.reset();
    }
    connection_.SetHost(host_);
    connection_.SetPort(port_);
    try {
        connection_.Connect();
    } catch (const EIdSocketError&) {
        throw EIdTelnetClientConnectError();
    }
    if (connection_.Connected()) {
        // The stop source is in place before the reader starts, so that a Disconnect from the
        // handler never races with the assignment of reader_.
        stop_ = std::stop_source();
        reader_running_ = true;
        reader_ = std::jthread([this, stop = stop_.get_token()] { ReaderLoop(stop); });
    }
}

void TIdTelnet::Write(std::string_view text) {
    std::lock_guard lock(write_mutex_);
    connection_.Write(text);
}

void TIdTelnet::Disconnect() {
    stop_.request_stop();
    connection_.Disconnect();
}

bool TIdTelnet::Connected() { return connection_.Connected(); }

void TIdTelnet::WaitForReader() {
    if (reader_.joinable()) {
        reader_.join();
    }
}

std::optional<TIdTelnet::ReaderEnd> TIdTelnet::LastReaderEnd() const {
    std::lock_guard lock(end_mutex_);
    return reader_end_;
}

void TIdTelnet::RecordReaderEnd(std::string kind_name, std::string message) {
    std::lock_guard lock(end_mutex_);
    reader_end_ = ReaderEnd{std::move(kind_name), std::move(message)};
}

void TIdTelnet::ReaderLoop(std::stop_token stop) {
    try {
        while (!stop.stop_requested()) {
            const std::string received = connection_.ReadAvailable();
            if (stop.stop_requested()) {
                break;
            }
            const std::string text =
                negotiator_.Feed(received, [this](std::string_view reply) { Write(reply); });
            if (!OnDataAvailable) {
                throw EIdTelnetServerOnDataAvailableIsNil();
            }
            dispatcher_([this, &text] { OnDataAvailable(text); });
            connection_.CheckClosed(true);
        }
    } catch (const tapir::Exception& error) {
        RecordReaderEnd(error.KindName(), error.Message());
    } catch (const std::exception& error) {
        RecordReaderEnd("Exception", error.what());
    } catch (...) {
        RecordReaderEnd("Exception", "unknown error");
    }
    reader_running_ = false;
}

}  // namespace tapir::transfer
