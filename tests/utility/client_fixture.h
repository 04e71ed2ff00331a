// A client wired to a real front-end link on loopback, with its own pool and table.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/thread_pool.h"
#include "frontend_link.h"
#include "utility/ios/vado_client.h"
#include "utility/module/command_table.h"

class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_.Start();
    ASSERT_GT(link_.Listen(), 0);
    ASSERT_TRUE(client_.ConnectToFrontEnd(link_.port(), 0));
    ASSERT_TRUE(link_.Accept(std::chrono::seconds(5)));
  }
  void TearDown() override { pool_.Stop(); }

  void Send(uint32_t command, uint64_t task, const std::string& header, const std::string& body = "") {
    ASSERT_TRUE(link_.Send(command, task, 0, vadoctl::BuildRequestPayload(header, body, false)));
  }
  std::optional<vadoctl::AgentMessage> Next(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    return link_.Receive(wait);
  }

  BASThreadPool pool_{10, std::chrono::milliseconds(500)};
  CommandTable table_;
  VadoClient client_{pool_, table_};
  vadoctl::FrontEndLink link_;
};
