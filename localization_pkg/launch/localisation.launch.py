"""Starts the localisation node, as a process of its own or loaded into a component container.

    ros2 launch localization_pkg localisation.launch.py
    ros2 launch localization_pkg localisation.launch.py ukf_config:=/path/to/config.json
    ros2 launch localization_pkg localisation.launch.py \\
        params_file:=$(ros2 pkg prefix localization_pkg)/share/localization_pkg/config/ros_conventions.yaml
    ros2 launch localization_pkg localisation.launch.py fusion:=true \\
        imu_topic:=/imu/data vo_topic:=/camera/odom base_link_frame:=base_link \\
        publish_covariance:=true publish_tf:=true fusion_delay:=0.05
    ros2 launch localization_pkg localisation.launch.py namespace:=robot1 composable:=true \\
        encoder_vel_topic:=/base/encoder_vel set_pose_topic:=/initialpose log_level:=warn

Without arguments the node runs exactly as `ros2 run localization_pkg localization_node` does:
every parameter at the node's own default. A node parameter given here is passed to the node and
overrides the same parameter in params_file; one not given is left to params_file, then to the
node's default. fusion:=true selects the package's configuration with the IMU and visual-odometry
sensors (unless ukf_config is given) and subscribes to imu_topic and vo_topic ("imu" and "vo"
unless given). Sensor frames other than base_link_frame are looked up on /tf and /tf_static: a
robot's description, or static_transform_publisher, must publish them.

Booleans take true/false, yes/no, on/off or 1/0, in any case.
"""

import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument, OpaqueFunction
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import ComposableNodeContainer, Node
from launch_ros.descriptions import ComposableNode

# The node's parameters, by type. An empty launch argument leaves the parameter to params_file or
# the node's default.
STRINGS = [
    ('ukf_config', 'Filter configuration file (JSON); default: the package\'s own, chosen by '
     'fusion'),
    ('imu_topic', 'sensor_msgs/Imu topic fused into the sensor "imu" (with fusion: "imu")'),
    ('vo_topic', 'nav_msgs/Odometry topic fused into the sensor "vo" (with fusion: "vo")'),
    ('wheel_odom_topic', 'nav_msgs/Odometry topic whose twist is fused into the sensor '
     '"encoders"'),
    ('message_covariance', 'Message covariances: use (default), ignore, or floor (never below '
     'the configured noise)'),
    ('imu_orientation', 'Fuse the IMU\'s orientation: none (default), roll_pitch or all'),
    ('odom_frame', 'Header frame of the odometry and the transform (default odom)'),
    ('base_link_frame', 'Child frame of the odometry and the transform (default odom_base_link)'),
    ('sensor_qos', 'QoS of encoder_vel and wheel_odom_topic: reliable (default) or sensor_data'),
]
FLAGS = [
    ('publish_covariance', 'Publish the filter\'s covariance in the odometry (default false)'),
    ('publish_tf', 'Broadcast odom_frame -> base_link_frame on /tf (default false)'),
    ('strict_config', 'Refuse a configuration with a key no reader knows (default false)'),
    ('use_sim_time', 'Run on /clock, as when `ros2 bag play --clock` plays a recording '
     '(default false)'),
]
NUMBERS = [
    ('fusion_delay', 'Seconds messages are held to be fused in stamp order (default 0)'),
    ('max_time_jump', 'Stamp jump (s) that restarts the filter (default 60)'),
]
# What the launch file itself takes.
LAUNCH = [
    ('namespace', '', 'Namespace of the node (and of its topics and services)'),
    ('params_file', '', 'YAML file of node parameters, such as the package\'s '
     'config/ros_conventions.yaml'),
    ('log_level', 'info', 'Least severity logged: debug, info, warn, error or fatal (warn '
     'silences the per-message lines)'),
    ('fusion', 'false', 'true: the IMU and visual-odometry configuration and topics'),
    ('encoder_vel_topic', 'encoder_vel', 'Topic of the wheel encoders\' TwistStamped'),
    ('set_pose_topic', 'set_pose', 'Topic of PoseWithCovarianceStamped that sets the pose '
     '(RViz publishes on initialpose)'),
    ('odometry_topic', 'odometry/filtered', 'Topic the estimate is published on'),
    ('composable', 'false', 'true: load the node into a component container'),
    ('container', 'localisation_container', 'Name of the container started with composable'),
    ('use_intra_process_comms', 'false', 'With composable: intra-process communication (not '
     'with imu_topic, vo_topic or wheel_odom_topic, whose /tf_static listener it refuses)'),
]

TRUE = ('true', 'yes', 'on', '1')
FALSE = ('false', 'no', 'off', '0')


def text(context, name):
    return LaunchConfiguration(name).perform(context).strip()


def flag(context, name):
    value = text(context, name).lower()
    if value not in TRUE + FALSE:
        raise ValueError(f"launch argument '{name}' must be one of "
                         f"{', '.join(TRUE + FALSE)}, got '{value}'")
    return value in TRUE


def number(context, name):
    value = text(context, name)
    try:
        return float(value)
    except ValueError:
        raise ValueError(f"launch argument '{name}' must be a number, got '{value}'") from None


def parameters(context):
    """The parameter files and the parameters given on the command line, in that order."""
    given = {}
    for name, _ in STRINGS:
        if text(context, name):
            given[name] = text(context, name)
    for name, _ in FLAGS:
        if text(context, name):
            given[name] = flag(context, name)
    for name, _ in NUMBERS:
        if text(context, name):
            given[name] = number(context, name)
    if flag(context, 'fusion'):
        share = get_package_share_directory('localization_pkg')
        given.setdefault('ukf_config',
                         os.path.join(share, 'config', 'localisation_fusion_config.json'))
        given.setdefault('imu_topic', 'imu')
        given.setdefault('vo_topic', 'vo')
    files = []
    params_file = text(context, 'params_file')
    if params_file:
        if not os.path.isfile(params_file):
            raise ValueError(f"launch argument 'params_file': no such file '{params_file}'")
        files.append(params_file)
    return files + ([given] if given else [])


def nodes(context):
    namespace = text(context, 'namespace')
    level = text(context, 'log_level').lower()
    if level not in ('debug', 'info', 'warn', 'error', 'fatal'):
        raise ValueError("launch argument 'log_level' must be one of debug, info, warn, error, "
                         f"fatal, got '{level}'")
    remappings = [('encoder_vel', text(context, 'encoder_vel_topic')),
                  ('set_pose', text(context, 'set_pose_topic')),
                  ('odometry/filtered', text(context, 'odometry_topic'))]
    params = parameters(context)
    ros_args = ['--ros-args', '--log-level', level]
    if not flag(context, 'composable'):
        return [Node(
            package='localization_pkg',
            executable='localization_node',
            name='localisation_node',
            namespace=namespace,
            output='screen',
            parameters=params,
            remappings=remappings,
            arguments=ros_args,
        )]
    return [ComposableNodeContainer(
        name=text(context, 'container'),
        namespace=namespace,
        package='rclcpp_components',
        executable='component_container',
        output='screen',
        arguments=ros_args,
        composable_node_descriptions=[ComposableNode(
            package='localization_pkg',
            plugin='ZendrafellLocalisationNode',
            name='localisation_node',
            namespace=namespace,
            parameters=params,
            remappings=remappings,
            extra_arguments=[{
                'use_intra_process_comms': flag(context, 'use_intra_process_comms')}],
        )],
    )]


def generate_launch_description():
    arguments = [DeclareLaunchArgument(name, default_value='', description=description)
                 for name, description in STRINGS + FLAGS + NUMBERS]
    arguments += [DeclareLaunchArgument(name, default_value=default, description=description)
                  for name, default, description in LAUNCH]
    return LaunchDescription(arguments + [OpaqueFunction(function=nodes)])
