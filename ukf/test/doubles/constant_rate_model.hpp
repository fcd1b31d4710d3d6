#pragma once

#include <string>
#include <vector>

#include "ukf/models/iModel.hpp"

namespace ukf::test
{

/// A model whose derivative is a fixed vector, recording the start and length of every RK4 stage
/// evaluation at t0 (the first stage of each step).
class ConstantRateModel final : public IModel
{
public:
  ConstantRateModel(VectorX rate, double step, MatrixX noise = MatrixX())
    : _rate(std::move(rate)), _step(step), _noise(std::move(noise))
  {
  }

  VectorX f(const State& /*state*/, double t) const override
  {
    calls.push_back(t);
    return _rate;
  }
  MatrixX process_noise_covariance(double dt) const override
  {
    if (_noise.size() > 0) {
      return dt * _noise;
    }
    return MatrixX::Zero(_rate.size(), _rate.size());
  }
  double get_integrator_step() const override { return _step; }
  std::string get_name() const override { return "constant_rate"; }

  mutable std::vector<double> calls;

private:
  VectorX _rate;
  double _step;
  MatrixX _noise;
};

}  // namespace ukf::test
